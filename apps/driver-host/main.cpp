// driver-host: loads the driver module, makes its driver object and unloads it again, printing
// each step.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/driver_module.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/driver.h"

namespace {

constexpr CLSID kDriverClass = platform::MakeGuid("{352E8CF1-6944-4E3A-8E5E-76556CEC869E}");

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: driver-host [--module PATH]\n"
                 "\n"
                 "Loads the driver module, makes its driver object, and unloads it again.\n"
                 "\n"
                 "Options:\n"
                 "  --module PATH  the driver module to load (default: ../lib/thermal_driver.so\n"
                 "                 beside this program)\n"
                 "  --help         show this help and exit\n"
                 "  --version      show the version and exit\n");
}

std::string DefaultModulePath()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "thermal_driver.so";
    return (self.parent_path() / ".." / "lib" / "thermal_driver.so").lexically_normal().string();
}

const char* ResultText(HRESULT hr)
{
    switch (hr) {
        case S_OK:
            return "S_OK";
        case S_FALSE:
            return "S_FALSE";
        default:
            return "failed";
    }
}

void Step(const char* step, const std::string& what)
{
    std::printf("%-14s %s\n", step, what.c_str());
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string Outcome(HRESULT hr)
{
    return std::string(ResultText(hr)) + " (" + Hex(hr) + ")";
}

int Run(const std::string& modulePath)
{
    using platform::ComPtr;

    auto loaded = platform::host::DriverModule::Load(modulePath);
    if (loaded.status != platform::host::ModuleLoadStatus::kLoaded) {
        std::fprintf(stderr, "driver-host: %s: %s\n", platform::host::ToString(loaded.status), loaded.message.c_str());
        return 1;
    }
    auto& module = *loaded.module;
    Step("load:", module.Path() + " (framework version " + std::to_string(module.Version().MajorNumber) + "." +
                      std::to_string(module.Version().MinorNumber) + ")");
    Step("attach:", "DllMain(DLL_PROCESS_ATTACH) returned TRUE");

    int exitCode = 0;
    {
        ComPtr<IClassFactory> factory;
        HRESULT hr = module.GetClassObject(kDriverClass, IID_IClassFactory,
                                           reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
        Step("class factory:", "DllGetClassObject(" + platform::GuidToString(kDriverClass) + ") = " + Outcome(hr));
        if (SUCCEEDED(hr)) {
            ComPtr<IDriverEntry> driver;
            hr = factory->CreateInstance(nullptr, __uuidof(IDriverEntry),
                                         reinterpret_cast<void**>(driver.ReleaseAndGetAddressOf()));
            Step("driver object:", "CreateInstance(IDriverEntry) = " + Outcome(hr));
            Step("unload query:", "DllCanUnloadNow = " + Outcome(module.CanUnloadNow()) + " while held");
        }
        if (FAILED(hr)) exitCode = 1;
    }
    Step("unload query:", "DllCanUnloadNow = " + Outcome(module.CanUnloadNow()) + " after release");

    const BOOL detached = module.Unload();
    Step("detach:", std::string("DllMain(DLL_PROCESS_DETACH) returned ") + (detached ? "TRUE" : "FALSE"));
    Step("unload:", "module unloaded");
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string modulePath;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("driver-host %s\n", DRIVER_HOST_VERSION);
            return 0;
        }
        if (argument == "--module" && i + 1 < argc) {
            modulePath = argv[++i];
        } else if (argument.rfind("--module=", 0) == 0) {
            modulePath = argument.substr(std::strlen("--module="));
        } else {
            std::fprintf(stderr, "driver-host: %s\n\n",
                         argument == "--module" ? "--module needs a path" : ("unknown argument: " + argument).c_str());
            PrintUsage(stderr);
            return 2;
        }
    }
    if (modulePath.empty()) modulePath = DefaultModulePath();
    return Run(modulePath);
}
