#pragma once
// Taking a passphrase out of a Qt line edit without leaving copies of it in
// the widget or in strings that are given back unwiped.

#include "operations/UserInterface.h"

class QLineEdit;

namespace quilvane {

// The text of `field` as a Secret; the field is left empty, without undo
// history, and the copies made on the way are overwritten.
Secret TakeSecret(QLineEdit& field);

// Empties `field` and overwrites its text where no one else holds it.
void WipeField(QLineEdit& field);

}  // namespace quilvane
