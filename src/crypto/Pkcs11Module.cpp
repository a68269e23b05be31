// Loading a PKCS #11 module once per process, and reading its tokens' state
// beside libp11.

#include "internal/Pkcs11Module.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "crypto/Text.h"
#include "internal/Handles.h"

namespace quilvane {
namespace {

struct ContextFree {
    void operator()(PKCS11_CTX* ctx) const noexcept { PKCS11_CTX_free(ctx); }
};

// A fixed-size, blank-padded PKCS #11 text as a string.
template <std::size_t N>
std::string Text(const unsigned char (&field)[N]) {
    std::string text(reinterpret_cast<const char*>(field), N);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

}  // namespace

TokenIdentity IdentityOf(const PKCS11_TOKEN& token) {
    return {token.label, token.manufacturer, token.model, token.serialnr};
}

TokenIdentity IdentityOf(const CK_TOKEN_INFO& info) {
    return {Text(info.label), Text(info.manufacturerID), Text(info.model), Text(info.serialNumber)};
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::Load(const std::string& path,
                                                 const std::string& initArgs,
                                                 std::map<unsigned long, std::string> places) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<Pkcs11Module>> loaded;
    const std::lock_guard lock(mutex);
    if (std::shared_ptr<Pkcs11Module> live = loaded[path].lock()) {
        return live;
    }

    const std::string what = Format(Tr("The PKCS #11 module %1 could not be loaded"), Quoted(path));
    std::shared_ptr<Pkcs11Module> module(new Pkcs11Module);
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
        throw Error(status::StoreFailure, Format(Tr("%1: it has no function list."), what));
    }
    // The p11-kit proxy hands every caller a list of its own, still to be
    // initialised; other modules share one list, which libp11 initialised.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = module->initArgs_.empty() ? nullptr : module->initArgs_.data();
    const CK_RV rv = module->functions_->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        throw Error(status::StoreFailure, Format(Tr("%1: it could not be initialised."), what));
    }
    module->finalize_ = rv == CKR_OK;
    loaded[path] = module;
    return module;
}

Pkcs11Module::~Pkcs11Module() {
    if (finalize_) {
        functions_->C_Finalize(nullptr);
    }
}

std::optional<TokenState> Pkcs11Module::StateOf(unsigned long slot,
                                                const TokenIdentity& identity) const {
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

std::string ResultText(unsigned long result) {
    char text[32];
    std::snprintf(text, sizeof text, "CKR 0x%lX", result);
    return text;
}

}  // namespace quilvane
