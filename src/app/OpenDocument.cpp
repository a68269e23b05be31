#include "app/OpenDocument.h"

#include <gio/gio.h>
// The desktop-file launcher lives in GIO's Unix part, whose headers sit in a
// folder of their own beside the portable ones.
#include <gio/gdesktopappinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "crypto/Error.h"
#include "crypto/Paths.h"

namespace quilvane {
namespace {

// Result codes of opening a document.
constexpr std::int32_t kStarted = 42;
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kPathNotFound = 3;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kNoAssociation = 31;
constexpr std::int32_t kOtherFailure = 0;

// One owner for each kind of GLib object used here.
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct Free {
    void operator()(gpointer memory) const { g_free(memory); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using CharsPtr = std::unique_ptr<gchar, Free>;

// Runs in the started application's process before it takes over: the
// application begins in the user's home folder rather than in ours. Only
// chdir is called, which is safe between fork and exec.
void EnterHomeFolder(gpointer home) {
    if (chdir(static_cast<const char*>(home)) != 0) {
        // Nothing can be reported from here; the application keeps our folder.
    }
}

// Why a document cannot be opened, from the file system itself: GIO passes
// over a refused permission when it looks a file up. Nothing when the file is
// there and readable.
std::optional<std::int32_t> AccessFailure(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        switch (errno) {
            case ENOENT: {
                // Is it the file that is missing, or the folder it should be in?
                CharsPtr folder(g_path_get_dirname(path.c_str()));
                struct stat folderStatus {};
                const bool folderThere =
                    stat(folder.get(), &folderStatus) == 0 && S_ISDIR(folderStatus.st_mode);
                return folderThere ? kFileNotFound : kPathNotFound;
            }
            case ENOTDIR:
                return kPathNotFound;
            case EACCES:
                return kAccessDenied;
            default:
                return kOtherFailure;
        }
    }
    if (access(path.c_str(), R_OK) != 0) {
        return errno == EACCES ? kAccessDenied : kOtherFailure;
    }
    return std::nullopt;
}

bool Launch(GAppInfo* application, GFile* file) {
    std::string home = "/";
    try {
        home = HomeFolder();
    } catch (const Error&) {
        // No home folder to start in: the root is as neutral a place.
    }
    ObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
    GError* raw = nullptr;
    gboolean started = FALSE;
    if (G_IS_DESKTOP_APP_INFO(application)) {
        GDesktopAppInfo* desktop = G_DESKTOP_APP_INFO(application);
        CharsPtr uri(g_file_get_uri(file));
        GList uris = {uri.get(), nullptr, nullptr};
        // A desktop file that names its own working folder keeps it.
        const bool ownFolder = g_desktop_app_info_has_key(desktop, "Path") != FALSE;
        started = g_desktop_app_info_launch_uris_as_manager(
            desktop, &uris, context.get(), G_SPAWN_SEARCH_PATH,
            ownFolder ? nullptr : EnterHomeFolder, home.data(), nullptr, nullptr, &raw);
    } else {
        GList files = {file, nullptr, nullptr};
        started = g_app_info_launch(application, &files, context.get(), &raw);
    }
    ErrorPtr error(raw);
    return started != FALSE;
}

}  // namespace

std::int32_t OpenDocument(const std::string& path) {
    // An empty path fails here too, where GIO would take it for the current folder.
    if (std::optional<std::int32_t> failure = AccessFailure(path)) {
        return *failure;
    }
    ObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));

    GError* raw = nullptr;
    ObjectPtr<GFileInfo> info(g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                                G_FILE_QUERY_INFO_NONE, nullptr, &raw));
    ErrorPtr error(raw);
    if (!info) {
        return kOtherFailure;
    }
    const char* type = g_file_info_get_content_type(info.get());
    if (type == nullptr) {
        return kNoAssociation;
    }
    ObjectPtr<GAppInfo> application(g_app_info_get_default_for_type(type, FALSE));
    if (!application) {
        return kNoAssociation;
    }
    return Launch(application.get(), file.get()) ? kStarted : kOtherFailure;
}

}  // namespace quilvane
