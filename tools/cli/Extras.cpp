#include "tools/cli/Extras.h"

#include "tools/cli/ExitCodes.h"

#include <dlfcn.h>
#include <filesystem>
#include <system_error>

namespace {

const CliExtras* Chosen = nullptr;

#if VELMORANT_HAVE_EXTRAS
// Beside the program in a build tree, in the private library folder once installed. The paths
// are worked out from the program's own place rather than left to a run path, which the loader
// ignores when a sanitizer's runtime makes the call.
void* LoadModule(std::string& error) {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (!failed) {
        for (const char* folder : {".", VELMORANT_CLI_EXTRAS_FROM_BIN}) {
            const std::filesystem::path candidate =
                program.parent_path() / folder / kCliExtrasModule;
            if (std::filesystem::exists(candidate, failed)) {
                void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
                if (module == nullptr) {
                    error = dlerror();
                }
                return module;
            }
        }
    }
    // Anywhere else the loader looks (LD_LIBRARY_PATH, say).
    void* module = dlopen(kCliExtrasModule, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error = dlerror();
    }
    return module;
}
#endif

} // namespace

void UseExtras(const CliExtras* extras) {
    Chosen = extras;
}

const CliExtras& Extras() {
    if (Chosen != nullptr) {
        return *Chosen;
    }
#if VELMORANT_HAVE_EXTRAS
    // Loaded once and kept for the life of the process; the toolkits it brings do not unload.
    std::string error;
    void* module = LoadModule(error);
    if (module == nullptr) {
        throw CliError(kExitInternal, std::string("cannot load ") + kCliExtrasModule +
                                          ", which plotting and listening need: " + error);
    }
    using Entry = const CliExtras* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(module, "VelmorantCliExtras"));
    const CliExtras* extras = entry != nullptr ? entry() : nullptr;
    if (extras == nullptr || extras->Layout != kCliExtrasLayout) {
        throw CliError(kExitInternal, std::string(kCliExtrasModule) +
                                          " does not belong to this velmorant-cli; reinstall it");
    }
    Chosen = extras;
    return *Chosen;
#else
    throw CliError(kExitUsage,
                   "this build of velmorant-cli has neither plotting nor a sound input");
#endif
}
