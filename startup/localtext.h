// Localised text by number from the language text modules, with the Italian
// module as fallback and "%APPNAME%" replaced by the companion product's name.
#pragma once

#include <QString>
#include <cstdint>

namespace dwnfrw {

// Opens the text module of productId and languageCode (which is cleared when no
// module exists for it). On failure returns false with message set.
bool LoadLanguage(const QString& productId, QString& languageCode, QString& message);

// The text of a number: the module's text, the Italian one when the module has
// none, "NOSTRING" when neither has it, empty text when no module is open.
QString GetText(int32_t number);

// Releases the open text source (tests and program end).
void UnloadLanguage();

}  // namespace dwnfrw
