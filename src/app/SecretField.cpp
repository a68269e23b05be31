#include "app/SecretField.h"

#include <QByteArray>
#include <QLineEdit>
#include <QString>
#include <string>

namespace quilvane {
namespace {

// Volatile, so that stores into memory about to be freed are not left out.
void Overwrite(void* data, std::size_t size) {
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

// Once the field let go of the text, `text` is its only holder: overwritten
// in place. Text still shared (a literal, a copy kept elsewhere) is left, as
// data() would only overwrite a fresh copy of it.
void Overwrite(QString& text) {
    if (text.isDetached()) {
        Overwrite(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
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
    Overwrite(bytes.data(), static_cast<std::size_t>(bytes.size()));
    Overwrite(typed);
    return secret;
}

void WipeField(QLineEdit& field) {
    QString typed = field.text();
    field.setText(QString());
    Overwrite(typed);
}

}  // namespace quilvane
