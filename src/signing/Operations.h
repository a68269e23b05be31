#pragma once
// The user-level operations on signed documents, and the helpers they share.
// Each operation tells every outcome to the user through the UserInterface and
// lets no error escape; the Outcome it returns only serves the exit status.

#include <string>
#include <vector>

#include "crypto/Bytes.h"
#include "crypto/Certificate.h"
#include "crypto/SignedData.h"
#include "crypto/UserInterface.h"

namespace quilvane {

enum class Outcome { Completed, Failed, Cancelled };

// Reads a whole file. A missing file, a folder, an unreadable file or one of
// 2 GiB or more raises a program error naming the file.
ByteBuffer LoadBinFile(const std::string& FileName);

// Writes `bytes` as the whole of `ipfile`: through a temporary file beside it,
// renamed over the target, so a failed write leaves what was there whole.
void SaveBinFile(std::span<const std::uint8_t> bytes, const std::string& ipfile);

// Lets the user pick one certificate of the personal store "My".
Certificate SelectCertificate(UserInterface& ui);

// The path less its last four characters (of UTF-8 text; bytes that are not
// UTF-8 count one each). A path of fewer than four characters raises a program
// error, since no name can be derived from it.
std::string DropLastFourCharacters(const std::string& path);

// Signs a document into a signed-message file.
Outcome SignFile(UserInterface& ui, std::string InputFileName, std::string OutputFileName);

// Verifies a signed-message file, reports its signers and extracts the document.
Outcome VerifySig(UserInterface& ui, std::string FileToVerify);

// The signer report of a verified message.
std::string ListSigners(const std::vector<Signer>& signers);

// The text of an attribute value: a date-time in the user's locale and time
// zone ("%x %X"), a text value unchanged.
std::string ValueText(const AttributeValue& value);

// Writes the document beside the signed file and offers to open it.
void SaveAndShowFile(UserInterface& ui, BinaryString Signature, std::string FileToVerify);

// The text shown for a failure code of OpenDocument (32 or less).
std::string OpenFailureText(std::int32_t code);

// Adds one signature to a signed-message file.
Outcome CoSignContent(UserInterface& ui, std::string InputFileName, std::string OutputFileName);

}  // namespace quilvane
