// The current user's certificate stores, gathered from their key sources.

#include "crypto/Store.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "crypto/Error.h"
#include "crypto/Paths.h"
#include "crypto/Text.h"
#include "internal/KeySource.h"

namespace quilvane {
namespace {

namespace fs = std::filesystem;

// A source that could not be opened: it lists nothing and tells why.
class UnavailableSource final : public KeySource {
  public:
    explicit UnavailableSource(std::string place) : place_(std::move(place)) {}
    void List(std::vector<Certificate>& /*out*/, std::vector<std::string>& /*warnings*/) override {}
    std::string Place() const override { return place_; }

  private:
    std::string place_;
};

}  // namespace

std::vector<std::unique_ptr<KeySource>> SourcesOf(const std::string& name,
                                                  const SecretPrompt& prompt) {
    std::vector<std::unique_ptr<KeySource>> sources;
    sources.push_back(FolderKeySource(Store::Folder(name), prompt));
    if (name != "My") {
        return sources;
    }
    // A missing or broken module must not hide the certificates of the folder.
    using Open = std::unique_ptr<KeySource> (*)(SecretPrompt);
    for (const auto& [open, kind] : {std::pair<Open, const char*>{TokenKeySource, kTokenSources},
                                     {NssKeySource, kNssSources}}) {
        try {
            sources.push_back(open(prompt));
        } catch (const Error& error) {
            sources.push_back(std::make_unique<UnavailableSource>(
                Format(Tr("%1: not available (%2)"), Tr(kind), error.description())));
        }
    }
    return sources;
}

std::string Store::Folder(const std::string& name) {
    // A relative XDG_DATA_HOME is not valid and is ignored, like an empty one.
    fs::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        data = xdg;
    } else {
        data = fs::path(HomeFolder()) / ".local" / "share";
    }
    return (data / "quilvane" / name).string();
}

void Store::Open(const SecretPrompt& prompt, const std::string& name) {
    // Only the current user's stores exist, and they are only ever read.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw Error(status::StoreFailure,
                    Format(Tr("There is no certificate store named %1."), Quoted(name)));
    }
    std::vector<Certificate> certificates;
    warnings_.clear();
    places_.clear();
    for (const std::unique_ptr<KeySource>& source : SourcesOf(name, prompt)) {
        source->List(certificates, warnings_);
        places_.push_back(source->Place());
    }
    certificates_ = quilvane::Certificates(std::move(certificates));
}

}  // namespace quilvane
