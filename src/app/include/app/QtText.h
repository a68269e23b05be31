#pragma once
// The window's way to the catalogue: Tr's text as a QString.

#include <QString>

#include "crypto/Text.h"

namespace quilvane {

inline QString QTr(const char* english) {
    return QString::fromUtf8(Tr(english));
}

}  // namespace quilvane
