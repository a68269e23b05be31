// NSS's built-in root module, read directly through its PKCS #11 functions:
// through p11-kit its place is taken by a module that marks every system TLS
// root as trusted for e-mail as well.

#include "internal/NssBuiltinRoots.h"

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace quilvane::ossl {
namespace {

// NSS's vendor-defined classes, attributes and trust values.
constexpr CK_ULONG kNssVendor = 0x4E534350;
constexpr CK_OBJECT_CLASS kNssTrustClass = (CKO_VENDOR_DEFINED | kNssVendor) + 3;
constexpr CK_ATTRIBUTE_TYPE kTrustEmailProtection = (CKA_VENDOR_DEFINED | kNssVendor) + 0x2000 + 11;
constexpr CK_ULONG kTrustedDelegator = (CKA_VENDOR_DEFINED | kNssVendor) + 2;

const char* const kModulePaths[] = {QUILVANE_LIB_DIR "/nss/libnssckbi.so",
                                    QUILVANE_LIB_DIR "/libnssckbi.so"};

struct LibraryClose {
    void operator()(void* handle) const noexcept { dlclose(handle); }
};

class Session {
  public:
    Session(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot) : functions_(functions) {
        if (functions_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_) !=
            CKR_OK) {
            functions_ = nullptr;
        }
    }
    ~Session() {
        if (functions_ != nullptr) {
            functions_->C_CloseSession(handle_);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool open() const { return functions_ != nullptr; }

    // The objects that hold every attribute of `pattern`.
    std::vector<CK_OBJECT_HANDLE> Find(std::vector<CK_ATTRIBUTE> pattern) const {
        std::vector<CK_OBJECT_HANDLE> found;
        if (functions_->C_FindObjectsInit(handle_, pattern.data(), pattern.size()) != CKR_OK) {
            return found;
        }
        CK_OBJECT_HANDLE batch[64];
        CK_ULONG count = 0;
        while (functions_->C_FindObjects(handle_, batch, std::size(batch), &count) == CKR_OK &&
               count > 0) {
            found.insert(found.end(), batch, batch + count);
        }
        functions_->C_FindObjectsFinal(handle_);
        return found;
    }

    // The value of one attribute; "" when the object has none.
    std::string Value(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
        CK_ATTRIBUTE attribute{type, nullptr, 0};
        if (functions_->C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
            attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            return {};
        }
        std::string value(attribute.ulValueLen, '\0');
        attribute.pValue = value.data();
        if (functions_->C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK) {
            return {};
        }
        value.resize(attribute.ulValueLen);
        return value;
    }

  private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE handle_ = 0;
};

CK_ATTRIBUTE Holding(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG size) {
    return {type, const_cast<void*>(value), size};
}

void ReadSlot(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot, std::vector<std::string>& roots) {
    const Session session(functions, slot);
    if (!session.open()) {
        return;
    }
    CK_OBJECT_CLASS trustClass = kNssTrustClass;
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    for (CK_OBJECT_HANDLE trust :
         session.Find({Holding(CKA_CLASS, &trustClass, sizeof trustClass)})) {
        const std::string email = session.Value(trust, kTrustEmailProtection);
        CK_ULONG level = 0;
        if (email.size() != sizeof level) {
            continue;
        }
        std::memcpy(&level, email.data(), sizeof level);
        if (level != kTrustedDelegator) {
            continue;
        }
        // A trust object names its certificate by issuer and serial number.
        const std::string issuer = session.Value(trust, CKA_ISSUER);
        const std::string serial = session.Value(trust, CKA_SERIAL_NUMBER);
        if (issuer.empty() || serial.empty()) {
            continue;
        }
        for (CK_OBJECT_HANDLE certificate :
             session.Find({Holding(CKA_CLASS, &certificateClass, sizeof certificateClass),
                           Holding(CKA_ISSUER, issuer.data(), issuer.size()),
                           Holding(CKA_SERIAL_NUMBER, serial.data(), serial.size())})) {
            if (std::string der = session.Value(certificate, CKA_VALUE); !der.empty()) {
                roots.push_back(std::move(der));
            }
        }
    }
}

std::vector<std::string> ReadModule() {
    std::vector<std::string> roots;
    std::unique_ptr<void, LibraryClose> library;
    for (const char* path : kModulePaths) {
        // Kept mapped: a module's code must outlive anything it registered.
        library.reset(dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
        if (library) {
            break;
        }
    }
    auto* getList =
        library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library.get(), "C_GetFunctionList"))
                : nullptr;
    CK_FUNCTION_LIST* functions = nullptr;
    if (getList == nullptr || getList(&functions) != CKR_OK || functions == nullptr) {
        return roots;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV initialised = functions->C_Initialize(&args);
    if (initialised != CKR_OK && initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return roots;
    }
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> slots;
    if (functions->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK) {
        slots.resize(count);
        if (functions->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
            count = 0;
        }
        slots.resize(count);
    }
    for (CK_SLOT_ID slot : slots) {
        ReadSlot(functions, slot, roots);
    }
    // Another user of the module in this process initialised it and finalises it.
    if (initialised == CKR_OK) {
        functions->C_Finalize(nullptr);
    }
    return roots;
}

}  // namespace

const std::vector<std::string>& NssEmailRoots() {
    static const std::vector<std::string> roots = ReadModule();
    return roots;
}

}  // namespace quilvane::ossl
