#include "app/SecretField.h"

#include <QByteArray>
#include <QLineEdit>
#include <QString>
#include <string>

namespace quilvane {
namespace {

// Once the field let go of the text, `text` is its only holder: overwritten
// in place. Text still shared (a literal, a copy kept elsewhere) is left, as
// data() would only overwrite a fresh copy of it.
void Overwrite(QString& text) {
    if (text.isDetached()) {
        WipeMemory(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
    }
}

}  // namespace

Secret TakeSecret(QLineEdit& field) {
    QString typed = field.text();
    // setText, unlike clear(), also drops the undo history of what was typed,
    // and a dialog that follows the field lets go of its copy too.
    field.setText(QString());
    QByteArray bytes = typed.toUtf8();
    Secret secret(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    WipeMemory(bytes.data(), static_cast<std::size_t>(bytes.size()));
    Overwrite(typed);
    return secret;
}

void WipeField(QLineEdit& field) {
    QString typed = field.text();
    field.setText(QString());
    Overwrite(typed);
}

}  // namespace quilvane
