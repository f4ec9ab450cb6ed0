#include "ui/translate_form.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QSet>
#include <QVariant>
#include <QWidget>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "startup/localtext.h"

// Markers. Every element carries the number of its text in the dynamic
// property "Tag" (empty when it has none). A QAction is a tool: its marker
// counts only above 0. A command that shows both as a toolbar button and as a
// menu entry is one QAction; its "Tag" gives the toolbar caption (iconText)
// and its "MenuTag" the menu caption (text). Widgets may also hold a number in
// their tool tip, which then becomes the text of that number.

namespace dwnfrw {

namespace {

const char* const kTagProperty = "Tag";
const char* const kMenuTagProperty = "MenuTag";

// The number a marker holds, when it holds one: a whole number, or a decimal
// rounded half to even as the original conversion did. Empty, blank and word
// markers hold none.
std::optional<double> markerValue(const QVariant& marker) {
    if (!marker.isValid() || marker.isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    double value = 0.0;
    switch (marker.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Double:
        case QMetaType::Float:
            value = marker.toDouble(&ok);
            break;
        case QMetaType::QString:
        case QMetaType::QByteArray: {
            const QString text = marker.toString().trimmed();
            if (text.isEmpty()) {
                return std::nullopt;
            }
            value = text.toDouble(&ok);
            break;
        }
        default:
            return std::nullopt;
    }
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return std::nearbyint(value);
}

template <typename Int>
std::optional<int32_t> markerInRange(const QVariant& marker) {
    const std::optional<double> value = markerValue(marker);
    if (!value || *value < double(std::numeric_limits<Int>::min()) ||
        *value > double(std::numeric_limits<Int>::max())) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*value);
}

// A widget's Tag or tool tip: a 16-bit number.
std::optional<int32_t> captionNumber(const QVariant& marker) {
    return markerInRange<int16_t>(marker);
}

// A tool's marker: a 32-bit number, counted only above 0.
std::optional<int32_t> toolNumber(const QVariant& marker) {
    const std::optional<int32_t> number = markerInRange<int32_t>(marker);
    if (!number || *number <= 0) {
        return std::nullopt;
    }
    return number;
}

// Sets the caption of widgets that have one; false for those that do not
// (text boxes, lists, progress bars, panels).
bool setCaption(QWidget* widget, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(text);
    } else if (auto* menu = qobject_cast<QMenu*>(widget)) {
        menu->setTitle(text);
    } else {
        return false;
    }
    return true;
}

// Runs one assignment; a failure skips it and leaves the element as designed.
template <typename Step>
void guarded(Step step) {
    try {
        step();
    } catch (...) {
    }
}

void translateWidget(QWidget* widget) {
    guarded([widget] {
        if (const auto number = captionNumber(widget->property(kTagProperty))) {
            setCaption(widget, GetText(*number));
        }
    });
    guarded([widget] {
        if (const auto number = captionNumber(widget->toolTip())) {
            widget->setToolTip(GetText(*number));
        }
    });
}

void translateAction(QAction* action) {
    guarded([action] {
        const auto toolbarNumber = toolNumber(action->property(kTagProperty));
        const auto menuNumber = toolNumber(action->property(kMenuTagProperty));
        if (menuNumber) {
            // Set the toolbar caption first: once set it no longer follows the text.
            if (toolbarNumber) {
                action->setIconText(GetText(*toolbarNumber));
            }
            action->setText(GetText(*menuNumber));
        } else if (toolbarNumber) {
            action->setText(GetText(*toolbarNumber));
        }
    });
}

// Depth first, children in the order they were made: the order the window
// was built in.
void translateChildren(QObject* parent, QSet<QAction*>& seenActions) {
    for (QObject* child : parent->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child)) {
            translateWidget(widget);
        } else if (auto* action = qobject_cast<QAction*>(child)) {
            seenActions.insert(action);
            translateAction(action);
        }
        translateChildren(child, seenActions);
    }
}

}  // namespace

void TranslateForm(QWidget* window) {
    if (window == nullptr) {
        return;
    }
    guarded([window] {
        if (const auto number = captionNumber(window->property(kTagProperty))) {
            window->setWindowTitle(GetText(*number));
        }
    });
    QSet<QAction*> seenActions;
    guarded([window, &seenActions] { translateChildren(window, seenActions); });
    // Actions that belong to the window but were made elsewhere.
    guarded([window, &seenActions] {
        for (QAction* action : window->actions()) {
            if (!seenActions.contains(action)) {
                seenActions.insert(action);
                translateAction(action);
            }
        }
    });
}

}  // namespace dwnfrw
