#pragma once
// A PKCS #11 module loaded once per process, with what is read of its
// tokens beside libp11: their identity, login state and presence.

#include <dlfcn.h>
#include <libp11.h>
#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace quilvane {

struct ContextRelease {
    void operator()(PKCS11_CTX* ctx) const noexcept {
        PKCS11_CTX_unload(ctx);
        PKCS11_CTX_free(ctx);
    }
};
struct LibraryClose {
    void operator()(void* handle) const noexcept { dlclose(handle); }
};

// What tells one token from another when it may have moved to another slot.
struct TokenIdentity {
    std::string label, manufacturer, model, serial;
    bool operator==(const TokenIdentity&) const = default;
};

TokenIdentity IdentityOf(const PKCS11_TOKEN& token);
TokenIdentity IdentityOf(const CK_TOKEN_INFO& info);

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
class Pkcs11Module {
  public:
    static std::shared_ptr<Pkcs11Module> Load(const std::string& path, const std::string& initArgs,
                                              std::map<unsigned long, std::string> places);
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    PKCS11_CTX* context() const { return context_.get(); }
    // For NSS, the name of the database in each slot; empty for other modules.
    const std::map<unsigned long, std::string>& places() const { return places_; }
    // The state of the token `identity`, looked for in `slot` first; nothing
    // when no slot holds it or it refuses sessions.
    std::optional<TokenState> StateOf(unsigned long slot, const TokenIdentity& identity) const;

  private:
    Pkcs11Module() = default;

    std::unique_ptr<void, LibraryClose> library_;
    std::string initArgs_;
    std::map<unsigned long, std::string> places_;
    std::unique_ptr<PKCS11_CTX, ContextRelease> context_;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool finalize_ = false;  // the function list was initialised here
};

// libp11's slot list, released through the context that made it.
struct SlotList {
    SlotList(std::shared_ptr<Pkcs11Module> module, PKCS11_SLOT* slots, unsigned int count)
        : module(std::move(module)), slots(slots), count(count) {}
    ~SlotList() { PKCS11_release_all_slots(module->context(), slots, count); }
    SlotList(const SlotList&) = delete;
    SlotList& operator=(const SlotList&) = delete;

    std::shared_ptr<Pkcs11Module> module;
    PKCS11_SLOT* slots;
    unsigned int count;
};

// The CKR_ value libp11 queued for the last failed call, 0 when it queued none.
unsigned long TakeModuleResult();

// "CKR 0x…" for a result code the person may pass on to whoever helps them.
std::string ResultText(unsigned long result);

}  // namespace quilvane
