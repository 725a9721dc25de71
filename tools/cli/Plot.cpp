#include "tools/cli/Plot.h"

#include "tools/cli/ExitCodes.h"

#include <dlfcn.h>
#include <filesystem>
#include <system_error>

#define VELMORANT_STRING(name) VELMORANT_STRING_OF(name)
#define VELMORANT_STRING_OF(name) #name

namespace {

PlotRenderer Chosen = nullptr;

#if VELMORANT_HAVE_PLOT
// Beside the program in a build tree, in the private library folder once installed. The paths
// are worked out from the program's own place rather than left to a run path, which the loader
// ignores when a sanitizer's runtime makes the call.
void* OpenModule(std::string& error) {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (!failed) {
        for (const char* folder : {".", VELMORANT_PLOT_MODULE_FROM_BIN}) {
            const std::filesystem::path candidate = program.parent_path() / folder / kPlotModule;
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
    void* module = dlopen(kPlotModule, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error = dlerror();
    }
    return module;
}
#endif

} // namespace

void UsePlotRenderer(PlotRenderer render) {
    Chosen = render;
}

void LoadPlotModule() {
    if (Chosen != nullptr) {
        return;
    }
#if VELMORANT_HAVE_PLOT
    // Loaded once and kept for the life of the process; the toolkit it brings does not unload.
    std::string error;
    void* module = OpenModule(error);
    if (module == nullptr) {
        throw CliError(kExitInternal, std::string("cannot load ") + kPlotModule +
                                          ", which plotting needs: " + error);
    }
    Chosen = reinterpret_cast<PlotRenderer>(dlsym(module, VELMORANT_STRING(VELMORANT_PLOT_ENTRY)));
    if (Chosen == nullptr) {
        throw CliError(kExitInternal, std::string(kPlotModule) +
                                          " does not belong to this velmorant-cli; reinstall it");
    }
#else
    throw CliError(kExitUsage, "this build of velmorant-cli cannot plot");
#endif
}

std::vector<std::uint8_t> RenderPlotPng(const RpmPlotRequest& request, std::string& error) {
    LoadPlotModule();
    return Chosen(request, error);
}
