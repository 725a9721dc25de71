#include "tests/support/SoftwareSoundDevice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kSourceName = "velmorant_source";
constexpr const char* kSinkName = "velmorant_sink";
constexpr auto kServerStartTimeout = 10s;
constexpr auto kServerStopTimeout = 2s;

std::filesystem::path MakeTemporaryDirectory(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / stem).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

std::filesystem::path FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

// Starts program with exactly these arguments and environment, output appended to logPath.
// The child is killed by the kernel when the calling thread ends. Returns -1 on failure.
pid_t Spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment, const std::filesystem::path& logPath) {
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed in a threaded process.
    std::vector<char*> argv;
    std::vector<std::string> argumentCopies = arguments;
    argumentCopies.insert(argumentCopies.begin(), program.string());
    for (std::string& argument : argumentCopies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentCopies = environment;
    std::vector<char*> envp;
    for (std::string& variable : environmentCopies) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || devNull < 0) {
        if (log >= 0) {
            close(log);
        }
        if (devNull >= 0) {
            close(devNull);
        }
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(devNull, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(log);
    close(devNull);
    return child;
}

bool SocketAnswers(const std::filesystem::path& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool answered =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

std::unique_ptr<SoftwareSoundDevice>
SoftwareSoundDevice::Create(std::span<const std::int16_t> samples, std::string& whyNot) {
    return Create(samples, Settings{}, whyNot);
}

std::unique_ptr<SoftwareSoundDevice>
SoftwareSoundDevice::Create(std::span<const std::int16_t> samples, const Settings& settings,
                            std::string& whyNot) {
    auto device = std::make_unique<SoftwareSoundDevice>(Key{});
    if (!device->Build(samples, settings, whyNot)) {
        return nullptr;
    }
    return device;
}

bool SoftwareSoundDevice::Build(std::span<const std::int16_t> samples, const Settings& settings,
                                std::string& whyNot) {
    static_assert(std::endian::native == std::endian::little,
                  "the sample file is written as S16_LE straight from memory");
    Dir = MakeTemporaryDirectory("velmorant-sound");
    if (Dir.empty()) {
        whyNot = "cannot create a temporary directory: " + std::string(std::strerror(errno));
        return false;
    }
    const bool pipeWire = settings.Server == Settings::ServerKind::PipeWire;
    // pipewire-pulse listens where its runtime directory says.
    Socket = pipeWire ? Dir / "runtime" / "pulse" / "native" : Dir / "native";
    const std::filesystem::path input = Dir / "input.raw";
    {
        std::ofstream file(input, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<std::streamsize>(samples.size_bytes()));
        if (!file) {
            whyNot = "cannot write the sample file " + input.string();
            return false;
        }
    }

    // Sources and sinks first: once the socket answers, they exist.
    std::string script = std::string("load-module module-null-source source_name=") + kSourceName +
                         " rate=22050 channels=1 format=s16le description=\"" +
                         settings.InputDescription + "\"\n";
    if (settings.WithMixer || settings.Desktop) {
        script += std::string("load-module module-null-sink sink_name=") + kSinkName +
                  " rate=22050 channels=2" +
                  // The property list is parsed again inside the argument, so it is quoted twice.
                  " sink_properties=\"device.description='" + settings.OutputDescription + "'\"\n";
    }
    if (settings.Desktop) {
        script += std::string("set-default-sink ") + kSinkName + "\nset-default-source " +
                  kSourceName + "\n";
    }
    script += "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
              (Dir / "native").string() + "\n";

    std::string alsa = "pcm.!default {\n"
                       "    type file\n"
                       "    slave.pcm {\n"
                       "        type pulse\n"
                       "        server \"" +
                       ServerAddress() +
                       "\"\n"
                       "        device \"" +
                       kSourceName +
                       "\"\n"
                       "    }\n"
                       "    file \"/dev/null\"\n"
                       "    infile \"" +
                       input.string() +
                       "\"\n"
                       "    format \"raw\"\n"
                       "}\n";
    if (settings.Desktop) {
        alsa = "pcm.!default {\n"
               "    type pulse\n"
               "    server \"" +
               ServerAddress() +
               "\"\n"
               "}\n";
    }
    if (settings.WithMixer || settings.Desktop) {
        alsa += "ctl.!default {\n"
                "    type pulse\n"
                "    server \"" +
                ServerAddress() +
                "\"\n"
                "}\n";
    }
    // The client library must never start a server of its own (an "autospawned" one would
    // outlive the test) nor write into the real home directory.
    const std::string client = "autospawn = no\n";
    if (!WriteFile(Dir / "server.pa", script) || !WriteFile(Dir / "asound.conf", alsa) ||
        !WriteFile(Dir / "client.conf", client)) {
        whyNot = "cannot write the configuration files in " + Dir.string();
        return false;
    }
    std::filesystem::create_directories(Dir / "runtime");
    std::filesystem::create_directories(Dir / "state");
    std::filesystem::create_directories(Dir / "config");

    SetEnvironment("ALSA_CONFIG_PATH", (Dir / "asound.conf").string());
    SetEnvironment("PULSE_CLIENTCONFIG", (Dir / "client.conf").string());
    SetEnvironment("PULSE_COOKIE", (Dir / "cookie").string());
    SetEnvironment("JACK_NO_START_SERVER", "1");
    if (pipeWire) {
        return !settings.StartServer || StartPipeWire(settings, whyNot);
    }
    if (settings.StartServer && !StartServerProcess(whyNot)) {
        return false;
    }
    return true;
}

bool SoftwareSoundDevice::StartPipeWire(const Settings& settings, std::string& whyNot) {
    if (!settings.Desktop) {
        whyNot = "the PipeWire server is offered for the desktop-like device only";
        return false;
    }
    const std::filesystem::path daemon = FindProgram("pipewire");
    const std::filesystem::path pulse = FindProgram("pipewire-pulse");
    const std::filesystem::path session = FindProgram("wireplumber");
    if (daemon.empty() || pulse.empty() || session.empty()) {
        whyNot =
            "pipewire, pipewire-pulse or wireplumber is not installed (scripts/install-deps.sh "
            "installs them)";
        return false;
    }
    // The session manager watches no hardware and asks nothing of D-Bus (there is no session
    // bus): these files replace its stock ones that enable the ALSA, camera and Bluetooth
    // monitors and the portal's access control, which fail without D-Bus.
    std::filesystem::create_directories(Dir / "config" / "wireplumber" / "main.lua.d");
    std::filesystem::create_directories(Dir / "config" / "wireplumber" / "bluetooth.lua.d");
    if (!WriteFile(Dir / "config" / "wireplumber" / "main.lua.d" / "90-enable-all.lua",
                   "load_module(\"metadata\")\n"
                   "device_defaults.enable()\n"
                   "stream_defaults.enable()\n") ||
        !WriteFile(Dir / "config" / "wireplumber" / "bluetooth.lua.d" / "90-enable-all.lua",
                   "\n")) {
        whyNot = "cannot write the session manager's configuration in " + Dir.string();
        return false;
    }
    std::filesystem::create_directories(Dir / "runtime");
    const std::vector<std::string> environment{"HOME=" + Dir.string(),
                                               "XDG_RUNTIME_DIR=" + (Dir / "runtime").string(),
                                               "XDG_CONFIG_HOME=" + (Dir / "config").string(),
                                               "XDG_STATE_HOME=" + (Dir / "state").string(),
                                               "PIPEWIRE_RUNTIME_DIR=" + (Dir / "runtime").string(),
                                               "DBUS_SESSION_BUS_ADDRESS=disabled:",
                                               "PATH=/usr/bin:/bin",
                                               "LANG=C"};
    const pid_t daemonPid = Spawn(daemon, {}, environment, Dir / "server.log");
    if (daemonPid < 0) {
        whyNot = "cannot start pipewire: " + std::string(std::strerror(errno));
        return false;
    }
    Helpers.push_back(daemonPid);
    auto waitForSocket = [&](const std::filesystem::path& socket, const char* what) {
        const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (SocketAnswers(socket)) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        whyNot = std::string(what) + " did not answer within 10 s: " + ServerLog();
        return false;
    };
    if (!waitForSocket(Dir / "runtime" / "pipewire-0", "pipewire")) {
        return false;
    }
    Server = Spawn(pulse, {}, environment, Dir / "server.log");
    const pid_t sessionPid = Spawn(session, {}, environment, Dir / "server.log");
    if (sessionPid > 0) {
        Helpers.push_back(sessionPid);
    }
    if (Server < 0 || sessionPid < 0) {
        whyNot = "cannot start pipewire-pulse or wireplumber: " + std::string(std::strerror(errno));
        return false;
    }
    if (!waitForSocket(Socket, "pipewire-pulse")) {
        return false;
    }
    // pipewire-pulse has no module-null-source; a null sink posing as a source is its own.
    if (!RunPactl({"load-module", "module-null-sink", std::string("sink_name=") + kSinkName,
                   "rate=22050", "channels=2",
                   "sink_properties=\"device.description='" + settings.OutputDescription + "'\""},
                  whyNot) ||
        !RunPactl({"load-module", "module-null-sink", "media.class=Audio/Source/Virtual",
                   std::string("sink_name=") + kSourceName, "rate=22050", "channels=1",
                   "format=s16le",
                   "sink_properties=\"device.description='" + settings.InputDescription + "'\""},
                  whyNot)) {
        return false;
    }
    // Defaults live in the session manager's metadata, there once it has started.
    const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
    while (!RunPactl({"set-default-sink", kSinkName}, whyNot) ||
           !RunPactl({"set-default-source", kSourceName}, whyNot)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            whyNot = "wireplumber did not take the defaults within 10 s: " + whyNot + ServerLog();
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool SoftwareSoundDevice::StartServerProcess(std::string& whyNot) {
    const std::filesystem::path program = FindProgram("pulseaudio");
    if (program.empty()) {
        whyNot = "pulseaudio is not installed (scripts/install-deps.sh installs it)";
        return false;
    }
    const std::vector<std::string> arguments{"-n",
                                             "-F",
                                             (Dir / "server.pa").string(),
                                             "--daemonize=no",
                                             "--use-pid-file=no",
                                             "--exit-idle-time=-1",
                                             "--realtime=no",
                                             "--high-priority=no",
                                             "--disable-shm=yes",
                                             "--system=no",
                                             "--log-target=stderr",
                                             "--log-level=warning"};
    const std::vector<std::string> environment{"HOME=" + Dir.string(),
                                               "XDG_RUNTIME_DIR=" + Dir.string(),
                                               "XDG_CONFIG_HOME=" + (Dir / "config").string(),
                                               "PULSE_RUNTIME_PATH=" + (Dir / "runtime").string(),
                                               "PULSE_STATE_PATH=" + (Dir / "state").string(),
                                               "PULSE_CLIENTCONFIG=" +
                                                   (Dir / "client.conf").string(),
                                               "PATH=/usr/bin:/bin",
                                               "LANG=C"};
    Server = Spawn(program, arguments, environment, Dir / "server.log");
    if (Server < 0) {
        whyNot = "cannot start pulseaudio: " + std::string(std::strerror(errno));
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!ServerRunning()) {
            whyNot = "pulseaudio exited at start: " + ServerLog();
            return false;
        }
        if (SocketAnswers(Socket)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    whyNot = "pulseaudio did not answer within 10 s: " + ServerLog();
    StopServer();
    return false;
}

bool SoftwareSoundDevice::StartServerLater(std::string& whyNot) {
    if (Server > 0) {
        whyNot = "the server already runs";
        return false;
    }
    return StartServerProcess(whyNot);
}

SoftwareSoundDevice::~SoftwareSoundDevice() {
    StopServer();
    for (auto it = SavedEnvironment.rbegin(); it != SavedEnvironment.rend(); ++it) {
        if (it->WasSet) {
            setenv(it->Name.c_str(), it->Value.c_str(), 1);
        } else {
            unsetenv(it->Name.c_str());
        }
    }
    if (!Dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(Dir, ignored);
    }
}

void SoftwareSoundDevice::SetEnvironment(const char* name, const std::string& value) {
    const char* previous = std::getenv(name);
    SavedEnvironment.push_back({name, previous != nullptr, previous != nullptr ? previous : ""});
    setenv(name, value.c_str(), 1);
}

void SoftwareSoundDevice::KillServer() {
    if (Server > 0) {
        kill(Server, SIGKILL);
        waitpid(Server, nullptr, 0);
        Server = -1;
    }
}

void SoftwareSoundDevice::PauseServer() {
    if (Server > 0) {
        kill(Server, SIGSTOP);
    }
}

void SoftwareSoundDevice::ResumeServer() {
    if (Server > 0) {
        kill(Server, SIGCONT);
    }
}

void SoftwareSoundDevice::StopServer() {
    StopProcess(Server);
    // The session manager before the daemon it serves.
    for (auto it = Helpers.rbegin(); it != Helpers.rend(); ++it) {
        StopProcess(*it);
    }
    Helpers.clear();
}

void SoftwareSoundDevice::StopProcess(pid_t& process) {
    if (process <= 0) {
        return;
    }
    kill(process, SIGCONT); // a frozen server cannot act on SIGTERM
    kill(process, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kServerStopTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(process, nullptr, WNOHANG) == process) {
            process = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(process, SIGKILL);
    waitpid(process, nullptr, 0);
    process = -1;
}

bool SoftwareSoundDevice::ServerRunning() const {
    if (Server <= 0) {
        return false;
    }
    // Peeks without reaping, so the destructor and KillServer stay the only reapers.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(Server), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid == 0;
}

bool SoftwareSoundDevice::SetOutputVolume(std::uint32_t left, std::uint32_t right,
                                          std::string& whyNot) {
    return RunPactl({"set-sink-volume", kSinkName, std::to_string(left), std::to_string(right)},
                    whyNot);
}

bool SoftwareSoundDevice::RunPactl(const std::vector<std::string>& arguments, std::string& whyNot) {
    const std::filesystem::path program = FindProgram("pactl");
    if (program.empty()) {
        whyNot = "pactl is not installed";
        return false;
    }
    std::filesystem::remove(Dir / "pactl.log");
    const pid_t child = Spawn(program, arguments,
                              {"PULSE_SERVER=" + ServerAddress(),
                               "PULSE_CLIENTCONFIG=" + (Dir / "client.conf").string(),
                               "PULSE_COOKIE=" + (Dir / "cookie").string(), "HOME=" + Dir.string(),
                               "PATH=/usr/bin:/bin", "LANG=C"},
                              Dir / "pactl.log");
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        whyNot = "pactl " + arguments.front() + " failed: " + ReadFile(Dir / "pactl.log");
        return false;
    }
    return true;
}

std::string SoftwareSoundDevice::ServerAddress() const {
    return "unix:" + Socket.string();
}

std::string SoftwareSoundDevice::ServerLog() const {
    return ReadFile(Dir / "server.log");
}

EmptyAlsaConfiguration::EmptyAlsaConfiguration() {
    Dir = MakeTemporaryDirectory("velmorant-noalsa");
    if (!Dir.empty()) {
        WriteFile(Dir / "asound.conf", "");
    }
    const char* previous = std::getenv("ALSA_CONFIG_PATH");
    WasSet = previous != nullptr;
    Previous = WasSet ? previous : "";
    setenv("ALSA_CONFIG_PATH", (Dir / "asound.conf").c_str(), 1);
}

EmptyAlsaConfiguration::~EmptyAlsaConfiguration() {
    if (WasSet) {
        setenv("ALSA_CONFIG_PATH", Previous.c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
    if (!Dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(Dir, ignored);
    }
}
