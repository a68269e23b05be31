#include "internal/Pkcs11KeySource.h"

#include <dlfcn.h>
#include <libp11.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "internal/KeySource.h"
#include "internal/Names.h"

#ifndef QUILVANE_P11KIT_PROXY
#define QUILVANE_P11KIT_PROXY "p11-kit-proxy.so"
#endif
#ifndef QUILVANE_NSS_SOFTOKEN
#define QUILVANE_NSS_SOFTOKEN "libsoftokn3.so"
#endif

namespace quilvane {

namespace {

// Slots 1 to 3 are NSS's own; those it opens on request are numbered from 4.
constexpr unsigned long kFirstNssSlot = 4;
// A token label is 32 bytes, blank-padded.
constexpr std::size_t kLabelSize = 32;

using ossl::Quoted;

struct ContextFree {
    void operator()(PKCS11_CTX* ctx) const noexcept { PKCS11_CTX_free(ctx); }
};
struct ContextRelease {
    void operator()(PKCS11_CTX* ctx) const noexcept {
        PKCS11_CTX_unload(ctx);
        PKCS11_CTX_free(ctx);
    }
};
struct LibraryClose {
    void operator()(void* handle) const noexcept { dlclose(handle); }
};

// A fixed-size, blank-padded PKCS #11 text as a string.
template <std::size_t N>
std::string Text(const unsigned char (&field)[N]) {
    std::string text(reinterpret_cast<const char*>(field), N);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// What tells one token from another when it may have moved to another slot.
struct TokenIdentity {
    std::string label, manufacturer, model, serial;
    bool operator==(const TokenIdentity&) const = default;
};

TokenIdentity IdentityOf(const PKCS11_TOKEN& token) {
    return {token.label, token.manufacturer, token.model, token.serialnr};
}

TokenIdentity IdentityOf(const CK_TOKEN_INFO& info) {
    return {Text(info.label), Text(info.manufacturerID), Text(info.model), Text(info.serialNumber)};
}

// What the module says about a token right now, read beside libp11.
struct TokenState {
    CK_FLAGS flags = 0;
    bool loggedIn = false;
};

// A module loaded once per process and shared by the sources listing it and
// the keys they hand out. Beside libp11's context it keeps a second handle
// on the module's function list: libp11 reads a token's flags only once and
// waits for ever for a session a module refuses, so token state and presence
// are checked here first.
class Module {
  public:
    static std::shared_ptr<Module> Load(const std::string& path, const std::string& initArgs,
                                        std::map<unsigned long, std::string> places);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    PKCS11_CTX* context() const { return context_.get(); }
    // For NSS, the name of the database in each slot; empty for other modules.
    const std::map<unsigned long, std::string>& places() const { return places_; }
    // The state of the token `identity`, looked for in `slot` first; nothing
    // when no slot holds it or it refuses sessions.
    std::optional<TokenState> StateOf(unsigned long slot, const TokenIdentity& identity) const;

  private:
    Module() = default;

    std::unique_ptr<void, LibraryClose> library_;
    std::string initArgs_;
    std::map<unsigned long, std::string> places_;
    std::unique_ptr<PKCS11_CTX, ContextRelease> context_;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool finalize_ = false;  // the function list was initialised here
};

std::shared_ptr<Module> Module::Load(const std::string& path, const std::string& initArgs,
                                     std::map<unsigned long, std::string> places) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<Module>> loaded;
    const std::lock_guard lock(mutex);
    if (std::shared_ptr<Module> live = loaded[path].lock()) {
        return live;
    }

    const std::string what = "The PKCS #11 module " + Quoted(path) + " could not be loaded";
    std::shared_ptr<Module> module(new Module);
    module->initArgs_ = initArgs;
    module->places_ = std::move(places);
    std::unique_ptr<PKCS11_CTX, ContextFree> context(
        ossl::Check(PKCS11_CTX_new(), status::StoreFailure, what));
    if (!module->initArgs_.empty()) {
        PKCS11_CTX_init_args(context.get(), module->initArgs_.c_str());
    }
    if (PKCS11_CTX_load(context.get(), path.c_str()) != 0) {
        ossl::Raise(status::StoreFailure, what);
    }
    module->context_.reset(context.release());

    // Finalised when no source needs it, but never unmapped: NSS's softoken
    // leaves memory behind that must stay where its own pointers find it, and
    // a module's code must outlive any handler it registered.
    module->library_.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
    auto* getList = module->library_ ? reinterpret_cast<CK_C_GetFunctionList>(
                                           dlsym(module->library_.get(), "C_GetFunctionList"))
                                     : nullptr;
    if (getList == nullptr || getList(&module->functions_) != CKR_OK ||
        module->functions_ == nullptr) {
        throw Error(status::StoreFailure, what + ": it has no function list.");
    }
    // The p11-kit proxy hands every caller a list of its own, still to be
    // initialised; other modules share one list, which libp11 initialised.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = module->initArgs_.empty() ? nullptr : module->initArgs_.data();
    const CK_RV rv = module->functions_->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        throw Error(status::StoreFailure, what + ": it could not be initialised.");
    }
    module->finalize_ = rv == CKR_OK;
    loaded[path] = module;
    return module;
}

Module::~Module() {
    if (finalize_) {
        functions_->C_Finalize(nullptr);
    }
}

std::optional<TokenState> Module::StateOf(unsigned long slot, const TokenIdentity& identity) const {
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> slots;
    if (functions_->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK) {
        slots.resize(count);
        if (functions_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
            count = 0;
        }
        slots.resize(count);
    }
    // The listed slot first: a token moved to another reader is still found.
    slots.insert(slots.begin(), slot);
    for (CK_SLOT_ID id : slots) {
        CK_TOKEN_INFO info{};
        if (functions_->C_GetTokenInfo(id, &info) != CKR_OK || IdentityOf(info) != identity) {
            continue;
        }
        CK_SESSION_HANDLE session = 0;
        if (functions_->C_OpenSession(id, CKF_SERIAL_SESSION, nullptr, nullptr, &session) !=
            CKR_OK) {
            return std::nullopt;
        }
        CK_SESSION_INFO sessionInfo{};
        const bool known = functions_->C_GetSessionInfo(session, &sessionInfo) == CKR_OK;
        functions_->C_CloseSession(session);
        return TokenState{info.flags, known && (sessionInfo.state == CKS_RO_USER_FUNCTIONS ||
                                                sessionInfo.state == CKS_RW_USER_FUNCTIONS)};
    }
    return std::nullopt;
}

// libp11's slot list, released through the context that made it.
struct SlotList {
    SlotList(std::shared_ptr<Module> module, PKCS11_SLOT* slots, unsigned int count)
        : module(std::move(module)), slots(slots), count(count) {}
    ~SlotList() { PKCS11_release_all_slots(module->context(), slots, count); }
    SlotList(const SlotList&) = delete;
    SlotList& operator=(const SlotList&) = delete;

    std::shared_ptr<Module> module;
    PKCS11_SLOT* slots;
    unsigned int count;
};

// The CKR_ value libp11 queued for the last failed call, 0 when it queued none.
unsigned long TakeModuleResult() {
    unsigned long result = 0;
    unsigned long code = 0;
    while ((code = ERR_get_error()) != 0) {
        const char* library = ERR_lib_error_string(code);
        if (result == 0 && library != nullptr && std::strcmp(library, "PKCS#11 module") == 0) {
            result = static_cast<unsigned long>(ERR_GET_REASON(code));
        }
    }
    return result;
}

// What the token says about the tries left, for the person deciding whether
// to try once more.
std::string TriesText(CK_FLAGS flags) {
    if ((flags & CKF_USER_PIN_LOCKED) != 0) {
        return " The token is now locked.";
    }
    if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        return " The next try is the final try before the token locks.";
    }
    if ((flags & CKF_USER_PIN_COUNT_LOW) != 0) {
        return " The token says few tries are left.";
    }
    return {};
}

// Shortens to a label's 32 bytes without cutting a UTF-8 character.
std::string LabelText(const std::string& text) {
    if (text.size() <= kLabelSize) {
        return text;
    }
    std::size_t end = kLabelSize;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// NSS's parameter reader ends a value at its closing quote or bracket, takes
// a backslash before any character literally, and strips one level of
// backslashes each time it reads a nested value.
std::string NssEscaped(std::string_view text, char closing) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == closing) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string ResultText(unsigned long result) {
    char text[32];
    std::snprintf(text, sizeof text, "CKR 0x%lX", result);
    return text;
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
    std::shared_ptr<Module> module;
    std::unique_ptr<SlotList> slots;
    SecretPrompt prompt;
    bool database = false;  // an NSS database: a password, not a PIN
    std::vector<TokenCertificate> certificates;
    std::vector<std::string> places;  // every token or database looked at
    std::vector<Entry> entries;       // beside `certificates`
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
        ossl::Raise(status::StoreFailure, "The tokens could not be listed");
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
        throw Error(status::WrongPassphrase,
                    "The token " + token + " is locked: its PIN was entered wrongly too often.");
    }
    SecretRequest request;
    if (database) {
        request = {SecretRequest::Kind::Passphrase, "Enter the password of " + where + ":", false};
    } else if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        request = {
            SecretRequest::Kind::Pin,
            "Enter the PIN for the token " + token + " (final try: a wrong PIN locks the token):",
            false};
    } else {
        request = {
            SecretRequest::Kind::Pin,
            "Enter the PIN for the token " + token + " (a wrong PIN may lock the token):", false};
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
        throw Error(status::Failed, "The token " + token + " is no longer present.");
    }
    switch (result) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            if (database) {
                throw Error(status::WrongPassphrase, "The password of " + where + " is wrong.");
            }
            throw Error(status::WrongPassphrase,
                        "The PIN for the token " + token + " is wrong." + TriesText(after->flags));
        case CKR_PIN_LOCKED:
            throw Error(
                status::WrongPassphrase,
                "The token " + token + " is locked: its PIN was entered wrongly too often.");
        default:
            throw Error(status::Failed, "Could not log in to the token " + token + " (" +
                                            ResultText(result) + ").");
    }
}

TokenState Pkcs11KeySource::State::RequirePresent(const Entry& entry) const {
    std::optional<TokenState> state =
        module->StateOf(PKCS11_get_slotid_from_slot(entry.slot), entry.identity);
    if (!state) {
        throw Error(status::Failed,
                    "The token " + Quoted(entry.identity.label) + " is no longer present.");
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
        ossl::Raise(status::Failed,
                    "The keys of the token " + Quoted(entry.identity.label) + " could not be read");
    }
    for (unsigned int k = 0; k < count; ++k) {
        if (std::vector<unsigned char>(keys[k].id, keys[k].id + keys[k].id_len) == entry.id) {
            return ossl::PkeyPtr(ossl::Check(
                PKCS11_get_private_key(&keys[k]), status::Failed,
                "The key on the token " + Quoted(entry.identity.label) + " could not be used"));
        }
    }
    throw Error(status::NoPrivateKey,
                "The token " + Quoted(entry.identity.label) +
                    " holds no private key for the certificate listed from it.");
}

Pkcs11KeySource::Pkcs11KeySource(std::unique_ptr<State> state) : state_(std::move(state)) {}

Pkcs11KeySource::~Pkcs11KeySource() = default;

std::shared_ptr<Pkcs11KeySource> Pkcs11KeySource::OpenTokens(SecretPrompt prompt,
                                                             const std::string& module) {
    auto state = std::make_unique<State>();
    state->module = Module::Load(module.empty() ? QUILVANE_P11KIT_PROXY : module, {}, {});
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
    state->module = Module::Load(module.empty() ? QUILVANE_NSS_SOFTOKEN : module,
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
    throw Error(status::NoPrivateKey, "The certificate is not on a token of this source.");
}

std::string NssInitArgs(const std::vector<NssDatabase>& databases) {
    std::string tokens;
    for (std::size_t i = 0; i < databases.size(); ++i) {
        const std::string token = "configDir='" + NssEscaped("sql:" + databases[i].folder, '\'') +
                                  "' certPrefix='' keyPrefix='' tokenDescription='" +
                                  NssEscaped(LabelText(databases[i].name), '\'') +
                                  "' flags=readOnly";
        tokens += (tokens.empty() ? "" : " ") + std::to_string(kFirstNssSlot + i) + "=[" +
                  NssEscaped(token, ']') + "]";
    }
    return "configDir='' certPrefix='' keyPrefix='' secmod='secmod.db' "
           "flags='readOnly,noModDB' tokens=<" +
           NssEscaped(tokens, '>') + ">";
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
        return kind_ + ": " + (names.empty() ? none_ : names);
    }

  private:
    std::shared_ptr<Pkcs11KeySource> source_;
    std::string kind_, none_;
};

}  // namespace

std::unique_ptr<KeySource> TokenKeySource(SecretPrompt prompt) {
    return std::make_unique<ModuleSource>(Pkcs11KeySource::OpenTokens(std::move(prompt)),
                                          kTokenSources, "none present");
}

std::unique_ptr<KeySource> NssKeySource(SecretPrompt prompt) {
    return std::make_unique<ModuleSource>(
        Pkcs11KeySource::OpenNssDatabases(std::move(prompt), FindNssDatabases()), kNssSources,
        "none found");
}

}  // namespace quilvane
