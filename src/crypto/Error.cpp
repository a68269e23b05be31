#include "crypto/Error.h"

#include <cstring>

#include "crypto/SafeText.h"
#include "crypto/Text.h"

namespace quilvane {

Error::Error(std::int32_t number, std::string description, std::string detail)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      detail_(std::move(detail)) {}

Error CancelledError() {
    return Error(status::Cancelled, Tr("The operation was cancelled by the user."));
}

void RaiseFileError(int err, const std::string& what, const std::string& path) {
    // A path is shown as given, with only what could steer a terminal escaped.
    throw Error(err, Format(Tr("%1 \"%2\": %3."), what, SafeText(path, std::string::npos),
                            std::strerror(err)));
}

void RaiseNoSuchItem(std::size_t index, std::size_t count) {
    throw Error(status::NoSuchItem, Format(Tr("There is no item %1 in a collection of %2."),
                                           std::to_string(index), std::to_string(count)));
}

}  // namespace quilvane
