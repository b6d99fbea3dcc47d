#include "app/dialog_builder.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

namespace tarv {
namespace {

const char* KindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
            return "button";
        case ControlKind::CheckBox:
            return "check";
        case ControlKind::Edit:
            return "edit";
        case ControlKind::Static:
            return "static";
        case ControlKind::GroupBox:
            return "group";
        case ControlKind::Picture:
            return "picture";
        case ControlKind::ProgressBar:
            return "progress";
    }
    return "control";
}

QWidget* MakeControl(QDialog& page, const ControlTemplate& c, const QPixmap& sidePicture) {
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, &page);
            button->setDefault((c.style & STYLE_DEFAULT) != 0);
            button->setAutoDefault((c.style & STYLE_DEFAULT) != 0);
            return button;
        }
        case ControlKind::CheckBox:
            return new QCheckBox(text, &page);
        case ControlKind::Edit: {
            auto* edit = new QPlainTextEdit(text, &page);
            edit->setReadOnly((c.style & STYLE_READ_ONLY) != 0);
            // Scrolls with the caret keys, shows no scroll bars, wraps nothing.
            edit->setLineWrapMode(QPlainTextEdit::NoWrap);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
            edit->setTabChangesFocus(true);
            return edit;
        }
        case ControlKind::Static: {
            auto* label = new QLabel(text, &page);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            return label;
        }
        case ControlKind::GroupBox: {
            auto* group = new QGroupBox(text, &page);
            // A frame drawn around other controls, never in their way.
            group->setAttribute(Qt::WA_TransparentForMouseEvents);
            group->setFocusPolicy(Qt::NoFocus);
            return group;
        }
        case ControlKind::Picture: {
            auto* picture = new QLabel(&page);
            picture->setPixmap(sidePicture);
            picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            return picture;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(&page);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            return bar;
        }
    }
    return nullptr;
}

}  // namespace

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("AR PL UMing CN")});
    font.setPointSize(10);
    font.setWeight(QFont::Normal);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

QString ControlName(int id) {
    return QString::number(id);
}

QString ControlObjectName(const ControlTemplate& control, int row) {
    return control.id == IDC_STATIC ? QStringLiteral("%1-%2").arg(KindName(control.kind)).arg(row)
                                    : ControlName(control.id);
}

void BuildDialog(QDialog& page, const DialogTemplate& dialog, const QPixmap& sidePicture) {
    const QFont font = DialogFont();
    page.setFont(font);
    page.setWindowTitle(QString::fromUtf8(dialog.caption));
    const DialogBaseUnits units = BaseUnitsOf(font);

    int row = 0;
    QWidget* groupBox = nullptr;
    for (const ControlTemplate& c : dialog.controls) {
        QWidget* control = MakeControl(page, c, sidePicture);
        control->setObjectName(ControlObjectName(c, row));
        const PixelRect r = DialogUnitsToPixels(c.x, c.y, c.cx, c.cy, units);
        if (c.kind == ControlKind::Picture && !sidePicture.isNull()) {
            // The bitmap is shown at its real size; the control grows to hold it and its edge.
            const int edge = 2 * static_cast<QLabel*>(control)->frameWidth();
            control->setGeometry(r.x, r.y, sidePicture.width() + edge, sidePicture.height() + edge);
        } else {
            control->setGeometry(r.x, r.y, r.width, r.height);
        }
        if ((c.style & STYLE_TAB_STOP) == 0 && c.kind != ControlKind::Edit) {
            control->setFocusPolicy(Qt::NoFocus);
        }
        if (c.kind == ControlKind::GroupBox) {
            groupBox = control;
        }
        ++row;
    }
    if (groupBox != nullptr) {
        groupBox->lower();
    }
    const PixelRect size = DialogUnitsToPixels(0, 0, dialog.cx, dialog.cy, units);
    page.setFixedSize(size.width, size.height);
}

void CentreOnScreen(QWidget& page) {
    const QScreen* screen =
        page.screen() != nullptr ? page.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = page.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    page.move(frame.topLeft());
}

}  // namespace tarv
