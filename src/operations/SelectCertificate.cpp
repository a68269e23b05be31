// Picking the certificate to sign or encrypt with.

#include "crypto/SafeText.h"
#include "crypto/Store.h"
#include "operations/LocalTime.h"
#include "operations/Signing.h"

namespace quilvane {

Certificate SelectCertificate(UserInterface& ui) {
    Store store;
    store.Open(PromptThrough(ui), StoreLocation::CurrentUser, "My", StoreOpenMode::ReadOnly);
    const Certificates& certificates = store.Certificates();
    if (!store.Warnings().empty()) {
        std::string text;
        for (const std::string& warning : store.Warnings()) {
            text += (text.empty() ? "" : "\r\n") + warning;
        }
        ui.message(text, Icon::Exclamation);
    }

    std::vector<CertificateRow> rows;
    rows.reserve(certificates.Count());
    for (std::size_t i = 1; i <= certificates.Count(); ++i) {
        const Certificate& certificate = certificates.Item(i);
        rows.push_back({SafeText(certificate.GetInfo(CertInfo::SubjectSimpleName)),
                        SafeText(certificate.GetInfo(CertInfo::IssuerSimpleName)),
                        LocalDate(certificate.ValidTo()), SafeText(certificate.Location())});
    }
    const std::optional<std::size_t> choice =
        ui.pickCertificate("Certificates", "ZARAN Certificates", rows);
    if (!choice) {
        throw Error(status::Cancelled, "The operation was cancelled by the user.");
    }
    return certificates.Item(*choice + 1);
}

}  // namespace quilvane
