#include "internal/Providers.h"

#include "crypto/Text.h"
#include "internal/Handles.h"

namespace quilvane {

namespace {

struct Providers {
    ossl::ProviderPtr base;
    ossl::ProviderPtr legacy;
    std::string problem;
};

Providers Load() {
    Providers providers;
    // Loading any provider explicitly stops OpenSSL from loading the default
    // one by itself, so it is loaded first, by name.
    providers.base.reset(OSSL_PROVIDER_load(nullptr, "default"));
    if (providers.base == nullptr) {
        providers.problem = Tr("the default provider could not be loaded");
        if (std::string reason = ossl::TakeErrors(); !reason.empty()) {
            providers.problem += " (" + reason + ")";
        }
    }
    providers.legacy.reset(OSSL_PROVIDER_load(nullptr, "legacy"));
    if (providers.legacy == nullptr) {
        providers.problem = Tr("OpenSSL's legacy provider could not be loaded");
        if (std::string reason = ossl::TakeErrors(); !reason.empty()) {
            providers.problem += " (" + reason + ")";
        }
    }
    return providers;
}

}  // namespace

bool LoadLegacyProvider(std::string* reason) {
    // Initialised once, thread-safely; unloaded when the process ends.
    static const Providers providers = Load();
    if (providers.legacy == nullptr && reason != nullptr) {
        *reason = providers.problem;
    }
    return providers.legacy != nullptr;
}

}  // namespace quilvane
