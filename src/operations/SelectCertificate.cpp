// Picking the certificate to sign or encrypt with.

#include <algorithm>
#include <tuple>

#include "crypto/SafeText.h"
#include "crypto/Store.h"
#include "crypto/Text.h"
#include "operations/Certificates.h"
#include "operations/LocalTime.h"
#include "operations/Signing.h"

namespace quilvane {

Certificate SelectCertificate(UserInterface& ui) {
    for (;;) {
        Store store;
        store.Open(PromptThrough(ui), "My");
        const Certificates& certificates = store.Certificates();
        if (!store.Warnings().empty()) {
            std::string text;
            for (const std::string& warning : store.Warnings()) {
                text += (text.empty() ? "" : "\r\n") + warning;
            }
            ui.message(text, Icon::Exclamation);
        }
        if (certificates.Count() == 0) {
            // A first certificate imported or created is offered at once.
            if (!StartFromEmptyStore(ui, store.Places())) {
                throw CancelledError();
            }
            continue;
        }

        // The sources list one after another; the person looks for a name,
        // and the same name twice is told apart by its expiry and location.
        struct Entry {
            std::size_t item;
            std::string name;
            std::time_t expiry;
        };
        std::vector<Entry> entries;
        for (std::size_t i = 1; i <= certificates.Count(); ++i) {
            const Certificate& certificate = certificates.Item(i);
            entries.push_back({i, Lowered(certificate.GetInfo(CertInfo::SubjectSimpleName)),
                               certificate.ValidTo()});
        }
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return std::tie(a.name, a.expiry) < std::tie(b.name, b.expiry);
        });

        std::vector<CertificateRow> rows;
        rows.reserve(entries.size());
        for (const Entry& entry : entries) {
            const Certificate& certificate = certificates.Item(entry.item);
            rows.push_back({SafeText(certificate.GetInfo(CertInfo::SubjectSimpleName)),
                            SafeText(certificate.GetInfo(CertInfo::IssuerSimpleName)),
                            LocalDate(entry.expiry), SafeText(certificate.Location())});
        }
        const std::optional<std::size_t> choice =
            ui.pickCertificate(Tr("Certificates"), Tr("ZARAN Certificates"), rows);
        if (!choice) {
            throw CancelledError();
        }
        return certificates.Item(entries.at(*choice).item);
    }
}

}  // namespace quilvane
