// Listing the certificates of a PKCS #11 module's tokens and logging in to
// them when a key is needed.

#include "internal/Pkcs11KeySource.h"

#include <map>
#include <optional>
#include <set>
#include <utility>

#include "crypto/Text.h"
#include "internal/KeySource.h"
#include "internal/Pkcs11Module.h"

#ifndef QUILVANE_P11KIT_PROXY
#define QUILVANE_P11KIT_PROXY "p11-kit-proxy.so"
#endif
#ifndef QUILVANE_NSS_SOFTOKEN
#define QUILVANE_NSS_SOFTOKEN "libsoftokn3.so"
#endif

namespace quilvane {

namespace {

// What the token says about the tries left, for the person deciding whether
// to try once more.
std::string TriesText(CK_FLAGS flags) {
    if ((flags & CKF_USER_PIN_LOCKED) != 0) {
        return std::string(" ") + Tr("The token is now locked.");
    }
    if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        return std::string(" ") + Tr("The next try is the final try before the token locks.");
    }
    if ((flags & CKF_USER_PIN_COUNT_LOW) != 0) {
        return std::string(" ") + Tr("The token says few tries are left.");
    }
    return {};
}

}  // namespace

struct Pkcs11KeySource::State {
    struct Entry {
        PKCS11_SLOT* slot;
        TokenIdentity identity;
        std::vector<unsigned char> id;
        bool loginRequired;
    };

    // Declared in this order so that keys go before the slots, and the slots
    // before the module.
    std::shared_ptr<Pkcs11Module> module;
    std::unique_ptr<SlotList> slots;
    SecretPrompt prompt;
    bool database = false;  // an NSS database: a password, not a PIN
    std::vector<TokenCertificate> certificates;
    std::vector<std::string> places;  // every token or database looked at
    std::vector<Entry> entries;       // beside `certificates`
    std::vector<ossl::X509Ptr> all;   // every certificate of the tokens, issuers too
    std::map<std::size_t, ossl::PkeyPtr> keys;

    void List();
    ossl::PkeyPtr Unlock(std::size_t index);
    TokenState RequirePresent(const Entry& entry) const;
    void LogIn(const Entry& entry, const std::string& where, CK_FLAGS flags);
};

void Pkcs11KeySource::State::List() {
    PKCS11_SLOT* list = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_slots(module->context(), &list, &count) != 0) {
        ossl::Raise(status::StoreFailure, Tr("The tokens could not be listed"));
    }
    slots = std::make_unique<SlotList>(module, list, count);
    const ossl::ErrorMark mark;

    for (unsigned int i = 0; i < count; ++i) {
        PKCS11_SLOT* slot = &list[i];
        PKCS11_TOKEN* token = slot->token;
        const unsigned long slotId = PKCS11_get_slotid_from_slot(slot);
        // An uninitialised token refuses sessions, and libp11 would wait for one.
        if (token == nullptr || token->initialized == 0) {
            continue;
        }
        std::string where = token->label;
        if (!module->places().empty()) {
            const auto place = module->places().find(slotId);
            if (place == module->places().end()) {
                continue;  // NSS's own slots, or a database another source opened
            }
            where = place->second;
        }
        places.push_back(where);
        const TokenIdentity identity = IdentityOf(*token);
        if (!module->StateOf(slotId, identity)) {
            continue;
        }

        // Before login a token shows a key's public half (or the private key
        // itself when it is not protected), or nothing: some tokens keep the
        // whole key behind the PIN. A certificate with no key in sight is
        // offered when the token asks for a login and the certificate is not
        // an authority's; whether its key is there shows after the login. A
        // root or an issuer is someone else's.
        std::set<std::vector<unsigned char>> keyIds;
        PKCS11_KEY* keys = nullptr;
        unsigned int keyCount = 0;
        if (PKCS11_enumerate_public_keys(token, &keys, &keyCount) == 0) {
            for (unsigned int k = 0; k < keyCount; ++k) {
                keyIds.emplace(keys[k].id, keys[k].id + keys[k].id_len);
            }
        }
        if (PKCS11_enumerate_keys(token, &keys, &keyCount) == 0) {
            for (unsigned int k = 0; k < keyCount; ++k) {
                keyIds.emplace(keys[k].id, keys[k].id + keys[k].id_len);
            }
        }
        PKCS11_CERT* certs = nullptr;
        unsigned int certCount = 0;
        if (PKCS11_enumerate_certs(token, &certs, &certCount) != 0) {
            continue;
        }
        for (unsigned int c = 0; c < certCount; ++c) {
            std::vector<unsigned char> id(certs[c].id, certs[c].id + certs[c].id_len);
            if (certs[c].x509 != nullptr) {
                all.push_back(ossl::Share(certs[c].x509));
            }
            if (id.empty() || certs[c].x509 == nullptr) {
                continue;
            }
            if (keyIds.count(id) == 0) {
                ossl::ErrorMark mark;
                if (token->loginRequired == 0 || X509_check_ca(certs[c].x509) != 0) {
                    continue;
                }
            }
            certificates.push_back({ossl::Share(certs[c].x509), token->label, where});
            entries.push_back({slot, identity, std::move(id), token->loginRequired != 0});
        }
    }
}

void Pkcs11KeySource::State::LogIn(const Entry& entry, const std::string& where, CK_FLAGS flags) {
    const std::string token = Quoted(entry.identity.label);
    if ((flags & CKF_USER_PIN_LOCKED) != 0) {
        throw Error(
            status::WrongPassphrase,
            Format(Tr("The token %1 is locked: its PIN was entered wrongly too often."), token));
    }
    SecretRequest request;
    if (database) {
        request = {SecretRequest::Kind::Passphrase, Format(Tr("Enter the password of %1:"), where),
                   false};
    } else if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        request = {
            SecretRequest::Kind::Pin,
            Format(Tr("Enter the PIN for the token %1 (final try: a wrong PIN locks the token):"),
                   token),
            false};
    } else {
        request = {
            SecretRequest::Kind::Pin,
            Format(Tr("Enter the PIN for the token %1 (a wrong PIN may lock the token):"), token),
            false};
    }
    std::optional<Secret> secret = prompt ? prompt(request) : std::nullopt;
    if (!secret) {
        throw CancelledError();
    }
    if (PKCS11_login(entry.slot, 0, secret->text().c_str()) == 0) {
        return;
    }
    const unsigned long result = TakeModuleResult();
    // The flags after the failure tell how many tries are left.
    const std::optional<TokenState> after =
        module->StateOf(PKCS11_get_slotid_from_slot(entry.slot), entry.identity);
    if (!after || result == CKR_DEVICE_REMOVED || result == CKR_TOKEN_NOT_PRESENT) {
        throw Error(status::Failed, Format(Tr("The token %1 is no longer present."), token));
    }
    switch (result) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            if (database) {
                throw Error(status::WrongPassphrase,
                            Format(Tr("The password of %1 is wrong."), where));
            }
            throw Error(
                status::WrongPassphrase,
                Format(Tr("The PIN for the token %1 is wrong."), token) + TriesText(after->flags));
        case CKR_PIN_LOCKED:
            throw Error(status::WrongPassphrase,
                        Format(Tr("The token %1 is locked: its PIN was entered wrongly too often."),
                               token));
        default:
            throw Error(status::Failed, Format(Tr("Could not log in to the token %1 (%2)."), token,
                                               ResultText(result)));
    }
}

TokenState Pkcs11KeySource::State::RequirePresent(const Entry& entry) const {
    std::optional<TokenState> state =
        module->StateOf(PKCS11_get_slotid_from_slot(entry.slot), entry.identity);
    if (!state) {
        throw Error(status::Failed,
                    Format(Tr("The token %1 is no longer present."), Quoted(entry.identity.label)));
    }
    return *state;
}

ossl::PkeyPtr Pkcs11KeySource::State::Unlock(std::size_t index) {
    const Entry& entry = entries[index];
    const std::string& where = certificates[index].location;
    const TokenState state = RequirePresent(entry);
    if (entry.loginRequired && !state.loggedIn) {
        LogIn(entry, where, state.flags);
    }
    RequirePresent(entry);

    PKCS11_KEY* keys = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_keys(entry.slot->token, &keys, &count) != 0) {
        ossl::Raise(status::Failed, Format(Tr("The keys of the token %1 could not be read"),
                                           Quoted(entry.identity.label)));
    }
    for (unsigned int k = 0; k < count; ++k) {
        if (std::vector<unsigned char>(keys[k].id, keys[k].id + keys[k].id_len) == entry.id) {
            return ossl::PkeyPtr(ossl::Check(PKCS11_get_private_key(&keys[k]), status::Failed,
                                             Format(Tr("The key on the token %1 could not be used"),
                                                    Quoted(entry.identity.label))));
        }
    }
    throw Error(status::NoPrivateKey,
                Format(Tr("The token %1 holds no private key for the certificate listed from it."),
                       Quoted(entry.identity.label)));
}

Pkcs11KeySource::Pkcs11KeySource(std::unique_ptr<State> state) : state_(std::move(state)) {}

Pkcs11KeySource::~Pkcs11KeySource() = default;

std::shared_ptr<Pkcs11KeySource> Pkcs11KeySource::OpenTokens(SecretPrompt prompt,
                                                             const std::string& module) {
    auto state = std::make_unique<State>();
    state->module = Pkcs11Module::Load(module.empty() ? QUILVANE_P11KIT_PROXY : module, {}, {});
    state->prompt = std::move(prompt);
    state->List();
    return std::make_shared<Pkcs11KeySource>(std::move(state));
}

std::shared_ptr<Pkcs11KeySource> Pkcs11KeySource::OpenNssDatabases(
    SecretPrompt prompt, const std::vector<NssDatabase>& databases, const std::string& module) {
    if (databases.empty()) {
        return std::make_shared<Pkcs11KeySource>(std::make_unique<State>());
    }
    std::map<unsigned long, std::string> places;
    for (std::size_t i = 0; i < databases.size(); ++i) {
        places[kFirstNssSlot + i] = databases[i].name;
    }
    auto state = std::make_unique<State>();
    state->module = Pkcs11Module::Load(module.empty() ? QUILVANE_NSS_SOFTOKEN : module,
                                       NssInitArgs(databases), std::move(places));
    state->prompt = std::move(prompt);
    state->database = true;
    state->List();
    return std::make_shared<Pkcs11KeySource>(std::move(state));
}

const std::vector<TokenCertificate>& Pkcs11KeySource::Certificates() const {
    return state_->certificates;
}

const std::vector<std::string>& Pkcs11KeySource::Places() const {
    return state_->places;
}

EVP_PKEY* Pkcs11KeySource::KeyFor(X509* certificate) {
    for (std::size_t i = 0; i < state_->certificates.size(); ++i) {
        if (X509_cmp(state_->certificates[i].x509.get(), certificate) != 0) {
            continue;
        }
        ossl::PkeyPtr& key = state_->keys[i];
        if (key != nullptr) {
            // libp11 waits for ever for a session on a token that is gone,
            // and a token may log out between two uses (taken out and put
            // back, or told so by another program): each use checks first.
            const State::Entry& entry = state_->entries[i];
            if (entry.loginRequired && !state_->RequirePresent(entry).loggedIn) {
                // The keys' handles went with the login, and libp11 still
                // counts itself logged in: all are forgotten, then found afresh.
                for (auto& [j, other] : state_->keys) {
                    if (state_->entries[j].slot == entry.slot) {
                        other.reset();
                    }
                }
                const ossl::ErrorMark mark;
                PKCS11_logout(entry.slot);
            }
        }
        if (key == nullptr) {
            key = state_->Unlock(i);
        }
        return key.get();
    }
    throw Error(status::NoPrivateKey, Tr("The certificate is not on a token of this source."));
}

std::vector<ossl::X509Ptr> Pkcs11KeySource::OtherCertificates() const {
    std::vector<ossl::X509Ptr> shared;
    for (const ossl::X509Ptr& x509 : state_->all) {
        shared.push_back(ossl::Share(x509.get()));
    }
    return shared;
}

namespace {

// The store's view of an opened module: its certificates, each finding its
// key through the module.
class ModuleSource final : public KeySource {
  public:
    ModuleSource(std::shared_ptr<Pkcs11KeySource> source, std::string kind, std::string none)
        : source_(std::move(source)), kind_(std::move(kind)), none_(std::move(none)) {}

    void List(std::vector<Certificate>& out, std::vector<std::string>& /*warnings*/) override {
        for (const TokenCertificate& item : source_->Certificates()) {
            out.push_back(MakeCertificate(item.x509.get(), item.location, source_));
        }
    }

    std::string Place() const override {
        std::string names;
        for (const std::string& name : source_->Places()) {
            names += (names.empty() ? "" : ", ") + name;
        }
        return Format(Tr("%1: %2"), Tr(kind_.c_str()), names.empty() ? none_ : names);
    }

  private:
    std::shared_ptr<Pkcs11KeySource> source_;
    std::string kind_, none_;
};

}  // namespace

std::unique_ptr<KeySource> TokenKeySource(SecretPrompt prompt) {
    return std::make_unique<ModuleSource>(Pkcs11KeySource::OpenTokens(std::move(prompt)),
                                          kTokenSources, Tr("none present"));
}

std::unique_ptr<KeySource> NssKeySource(SecretPrompt prompt) {
    return std::make_unique<ModuleSource>(
        Pkcs11KeySource::OpenNssDatabases(std::move(prompt), FindNssDatabases()), kNssSources,
        Tr("none found"));
}

}  // namespace quilvane
