#include "app/message_box.h"

#include "package/package.h"

namespace tarv {
namespace {

QString Caption() {
    return QString::fromStdString(GetModuleDisplayName());
}
QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

MessageAnswer ShowStandardMessage(QWidget* parent, std::string_view text, MessageButtons buttons) {
    const bool question = buttons == MessageButtons::YesNo;
    QMessageBox box(QMessageBox::Warning, Caption(), Text(text),
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    box.setObjectName(MESSAGE_BOX_NAME);
    const int answer = box.exec();
    if (!question) {
        return MessageAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void ShowPageMessage(QWidget* page, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, Caption(), Text(text), QMessageBox::Ok, page);
    box.setObjectName(MESSAGE_BOX_NAME);
    box.exec();
}

}  // namespace tarv
