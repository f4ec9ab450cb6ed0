// Replaces a window's designed captions with the texts of the loaded language.
#pragma once

class QWidget;

namespace dwnfrw {

// Gives the window its title and every marked child widget and action its
// caption and tool tip from GetText. Elements without a usable marker keep
// the captions they were designed with; nothing is thrown.
void TranslateForm(QWidget* window);

}  // namespace dwnfrw
