#pragma once
// The commands that add to the user's certificate folders, each run on the
// person's explicit request: importing a certificate file, creating a
// certificate, trusting a root. Nothing else writes into "My" or "Root".

#include <string>
#include <vector>

#include "operations/Reporting.h"
#include "operations/UserInterface.h"

namespace quilvane {

// Shows the person where certificates were looked for (`places`, as
// Store::Places gives them) and lets them import or create one. False when
// they cancel; errors of the import or creation are shown, then true.
bool StartFromEmptyStore(UserInterface& ui, const std::vector<std::string>& places);

// Copies a PKCS #12, PEM or DER file into "My" once the secrets protecting
// it were checked: mode 0600, under its own name or, when a file has that
// name, a free one beside it. A PKCS #12 file's certificates are also kept
// beside it as STEM.crt, so that listing them asks no passphrase.
Outcome ImportCertificate(UserInterface& ui, std::string path);
// Asks for the details and makes a self-signed certificate and its encrypted
// key into a new file STEM.pem of "My", and the certificate alone into
// STEM.crt, to give to others.
Outcome CreateCertificate(UserInterface& ui);
// Writes the certificate the person picks, without its key, to `path` as a
// new file: never replacing one, never through a link.
Outcome ExportCertificate(UserInterface& ui, std::string path);
// Shows the certificate's SHA-256 fingerprint and, if the person agrees,
// copies it into "Root".
Outcome TrustCertificate(UserInterface& ui, std::string path);

}  // namespace quilvane
