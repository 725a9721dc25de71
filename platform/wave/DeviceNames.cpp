#include "platform/wave/DeviceNames.h"

#include "platform/wave/AlsaMixer.h"

#include <alsa/asoundlib.h>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The report runs on the window's thread: a server that does not answer in this time is taken
// as absent rather than holding the window.
constexpr auto kServerBudget = std::chrono::milliseconds(100);
// One report asks for the output and then the input; both are served by one question.
constexpr auto kNamesKeptFor = std::chrono::seconds(1);
// Plugin chains in real configurations are two to four deep; a loop in a broken one must end.
constexpr int kMaxRouteDepth = 12;

struct ConfigDeleter {
    void operator()(snd_config_t* config) const { snd_config_delete(config); }
};
using OwnedConfig = std::unique_ptr<snd_config_t, ConfigDeleter>;

std::optional<std::string> StringField(snd_config_t* node, const char* key) {
    snd_config_t* field = nullptr;
    const char* text = nullptr;
    if (snd_config_search(node, key, &field) < 0 ||
        snd_config_get_type(field) != SND_CONFIG_TYPE_STRING ||
        snd_config_get_string(field, &text) < 0 || text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

// A card or device given as a number or as a string ("0", "PCH").
std::optional<std::string> ScalarField(snd_config_t* node, const char* key) {
    snd_config_t* field = nullptr;
    if (snd_config_search(node, key, &field) < 0) {
        return std::nullopt;
    }
    long number = 0;
    if (snd_config_get_integer(field, &number) == 0) {
        return std::to_string(number);
    }
    return StringField(node, key);
}

// Follows pcmName's definition in top through its plugins to where it leads.
AlsaRoute Route(snd_config_t* top, std::string_view pcmName, DeviceDirection direction) {
    std::vector<OwnedConfig> expanded; // definitions alsa-lib expanded for us; ours to delete
    auto definition = [&](const std::string& name) -> snd_config_t* {
        snd_config_t* result = nullptr;
        if (snd_config_search_definition(top, "pcm", name.c_str(), &result) < 0) {
            return nullptr;
        }
        expanded.emplace_back(result);
        return result;
    };

    AlsaRoute route;
    snd_config_t* node = definition(std::string(pcmName));
    for (int depth = 0; node != nullptr && depth < kMaxRouteDepth; ++depth) {
        const std::string type = StringField(node, "type").value_or("");
        if (type == "pulse") {
            route.Leads = AlsaRoute::Kind::SoundServer;
            route.Server = StringField(node, "server").value_or("");
            route.Device = StringField(node, "device").value_or("");
            return route;
        }
        if (type == "pipewire") {
            // pipewire-pulse serves the same defaults through libpulse's usual address.
            route.Leads = AlsaRoute::Kind::SoundServer;
            return route;
        }
        if (type == "hw") {
            route.Leads = AlsaRoute::Kind::Card;
            route.Card = ScalarField(node, "card").value_or("0");
            const std::string device = ScalarField(node, "device").value_or("0");
            route.PcmDevice = std::atoi(device.c_str());
            return route;
        }
        const char* next =
            type == "asym" ? (direction == DeviceDirection::Input ? "capture.pcm" : "playback.pcm")
                           : "slave.pcm";
        snd_config_t* child = nullptr;
        if (snd_config_search(node, next, &child) < 0) {
            return {};
        }
        if (snd_config_get_type(child) == SND_CONFIG_TYPE_COMPOUND) {
            node = child;
            continue;
        }
        const char* name = nullptr;
        if (snd_config_get_string(child, &name) < 0 || name == nullptr) {
            return {};
        }
        node = definition(name);
    }
    return {};
}

std::string CardName(const AlsaRoute& route, DeviceDirection direction) {
    const int index = snd_card_get_index(route.Card.c_str());
    if (index < 0) {
        return {};
    }
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(index)).c_str(), 0) < 0) {
        return {};
    }
    snd_ctl_card_info_t* card = nullptr;
    snd_ctl_card_info_alloca(&card);
    std::string longName;
    if (snd_ctl_card_info(ctl, card) == 0 && snd_ctl_card_info_get_longname(card) != nullptr) {
        longName = snd_ctl_card_info_get_longname(card);
    }
    snd_pcm_info_t* pcm = nullptr;
    snd_pcm_info_alloca(&pcm);
    snd_pcm_info_set_device(pcm, static_cast<unsigned>(route.PcmDevice));
    snd_pcm_info_set_subdevice(pcm, 0);
    snd_pcm_info_set_stream(pcm, direction == DeviceDirection::Input ? SND_PCM_STREAM_CAPTURE
                                                                     : SND_PCM_STREAM_PLAYBACK);
    std::string pcmName;
    if (snd_ctl_pcm_info(ctl, pcm) == 0 && snd_pcm_info_get_name(pcm) != nullptr) {
        pcmName = snd_pcm_info_get_name(pcm);
    }
    snd_ctl_close(ctl);
    return CardDeviceName(longName, pcmName);
}

// --- libpulse ---

struct Question {
    ServerDeviceNames Names;
    std::string SinkName;
    std::string SourceName;
    int Pending = 0; // replies still awaited
    bool Failed = false;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* user) {
    auto& question = *static_cast<Question*>(user);
    if (info != nullptr) {
        if (question.SinkName.empty() && info->default_sink_name != nullptr) {
            question.SinkName = info->default_sink_name;
        }
        if (question.SourceName.empty() && info->default_source_name != nullptr) {
            question.SourceName = info->default_source_name;
        }
    }
    --question.Pending;
}

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* user) {
    auto& question = *static_cast<Question*>(user);
    if (eol != 0) {
        --question.Pending;
    } else if (info != nullptr && info->description != nullptr) {
        question.Names.Output = info->description;
    }
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* user) {
    auto& question = *static_cast<Question*>(user);
    if (eol != 0) {
        --question.Pending;
    } else if (info != nullptr && info->description != nullptr) {
        question.Names.Input = info->description;
    }
}

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct OperationDeleter {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

// Runs the loop until done() or the deadline; false at the deadline or on a loop failure.
template <typename Done> bool RunUntil(pa_mainloop* loop, Clock::time_point deadline, Done done) {
    while (!done()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        const auto micros = std::min<std::int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(left).count(),
            std::numeric_limits<int>::max());
        if (pa_mainloop_prepare(loop, static_cast<int>(micros)) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
    }
    return true;
}

struct KeptNames {
    Clock::time_point AskedAt;
    std::string Server;
    std::string Sink;
    std::string Source;
    ServerDeviceNames Names;
};

std::mutex KeptMutex;
std::optional<KeptNames> Kept;

ServerDeviceNames ServerNames(const AlsaRoute& route, DeviceDirection direction) {
    // A PCM that names one device names it for both directions; only its own direction counts.
    const std::string sink = direction == DeviceDirection::Output ? route.Device : "";
    const std::string source = direction == DeviceDirection::Input ? route.Device : "";
    const auto now = Clock::now();
    std::lock_guard lock(KeptMutex);
    if (Kept && now - Kept->AskedAt < kNamesKeptFor && Kept->Server == route.Server &&
        Kept->Sink == sink && Kept->Source == source) {
        return Kept->Names;
    }
    ServerDeviceNames names = AskSoundServer(route.Server, sink, source, kServerBudget);
    Kept = KeptNames{now, route.Server, sink, source, names};
    return names;
}

} // namespace

AlsaRoute RouteOfPcm(std::string_view pcmName, DeviceDirection direction) {
    QuietAlsaDiagnostics();
    snd_config_t* top = nullptr;
    if (snd_config_update_ref(&top) < 0 || top == nullptr) {
        return {};
    }
    AlsaRoute route = Route(top, pcmName, direction);
    snd_config_unref(top);
    return route;
}

AlsaRoute RouteOfPcmInConfiguration(std::string_view configuration, std::string_view pcmName,
                                    DeviceDirection direction) {
    QuietAlsaDiagnostics();
    snd_config_t* raw = nullptr;
    if (snd_config_top(&raw) < 0) {
        return {};
    }
    const OwnedConfig top(raw);
    snd_input_t* input = nullptr;
    if (snd_input_buffer_open(&input, configuration.data(),
                              static_cast<ssize_t>(configuration.size())) < 0) {
        return {};
    }
    const int loaded = snd_config_load(raw, input);
    snd_input_close(input);
    if (loaded < 0) {
        return {};
    }
    return Route(raw, pcmName, direction);
}

ServerDeviceNames AskSoundServer(const std::string& address, const std::string& sinkName,
                                 const std::string& sourceName, std::chrono::milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
    if (!loop) {
        return {};
    }
    pa_context* raw = pa_context_new(pa_mainloop_get_api(loop.get()), "Velmorant");
    if (raw == nullptr) {
        return {};
    }
    // Declared after the loop, so the context goes first.
    std::unique_ptr<pa_context, ContextDeleter> context(raw);
    if (pa_context_connect(raw, address.empty() ? nullptr : address.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        return {};
    }
    const bool settled = RunUntil(loop.get(), deadline, [&] {
        const pa_context_state_t state = pa_context_get_state(raw);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    // A frozen server still accepts the connection (the kernel queues it) but never answers.
    ServerDeviceNames timedOut;
    timedOut.TimedOut = true;
    if (!settled) {
        return timedOut;
    }
    if (pa_context_get_state(raw) != PA_CONTEXT_READY) {
        return {};
    }

    Question question;
    question.SinkName = sinkName;
    question.SourceName = sourceName;
    enum class Reply { Given, Late, Refused };
    auto wait = [&](pa_operation* operation) {
        if (operation == nullptr) {
            return Reply::Refused;
        }
        const std::unique_ptr<pa_operation, OperationDeleter> owned(operation);
        ++question.Pending;
        const bool settledInTime = RunUntil(loop.get(), deadline, [&] {
            return question.Pending == 0 || pa_context_get_state(raw) != PA_CONTEXT_READY;
        });
        if (!settledInTime) {
            return Reply::Late;
        }
        return question.Pending == 0 ? Reply::Given : Reply::Refused;
    };
    auto failed = [&](Reply reply) {
        return reply == Reply::Late ? timedOut : ServerDeviceNames{};
    };
    if (sinkName.empty() || sourceName.empty()) {
        if (const Reply reply = wait(pa_context_get_server_info(raw, &OnServerInfo, &question));
            reply != Reply::Given) {
            return failed(reply);
        }
    }
    question.Names.Answered = true;
    // A sink or source that is gone (or a server with none) leaves its description empty.
    if (!question.SinkName.empty()) {
        if (const Reply reply = wait(pa_context_get_sink_info_by_name(
                raw, question.SinkName.c_str(), &OnSinkInfo, &question));
            reply != Reply::Given) {
            return failed(reply);
        }
    }
    if (!question.SourceName.empty()) {
        if (const Reply reply = wait(pa_context_get_source_info_by_name(
                raw, question.SourceName.c_str(), &OnSourceInfo, &question));
            reply != Reply::Given) {
            return failed(reply);
        }
    }
    question.Names.OutputName = question.SinkName;
    question.Names.InputName = question.SourceName;
    return question.Names;
}

std::string CardDeviceName(std::string_view cardLongName, std::string_view pcmName) {
    std::string_view card = cardLongName;
    if (const std::size_t at = card.find(" at "); at != std::string_view::npos) {
        card = card.substr(0, at);
    }
    while (!card.empty() && (card.back() == ' ' || card.back() == ',')) {
        card.remove_suffix(1);
    }
    if (pcmName.empty() || card.find(pcmName) != std::string_view::npos) {
        return std::string(card);
    }
    if (card.empty()) {
        return std::string(pcmName);
    }
    return std::string(card) + ": " + std::string(pcmName);
}

UserDevice DescribeDevice(DeviceDirection direction, std::string_view portAudioName) {
    const AlsaRoute route = RouteOfPcm(portAudioName, direction);
    UserDevice device;
    if (route.Leads == AlsaRoute::Kind::SoundServer) {
        const ServerDeviceNames names = ServerNames(route, direction);
        const bool output = direction == DeviceDirection::Output;
        device.Name = output ? names.Output : names.Input;
        const std::string& serverName = output ? names.OutputName : names.InputName;
        if (!serverName.empty()) {
            // The address too: the same sink name on another server is another device.
            device.Identity = route.Server + '\n' + serverName;
        }
        device.ServerSilent = names.TimedOut;
    } else if (route.Leads == AlsaRoute::Kind::Card) {
        device.Name = CardName(route, direction);
        if (!device.Name.empty()) {
            device.Identity = device.Name + '\n' + std::to_string(route.PcmDevice);
        }
    }
    if (device.Name.empty()) {
        device.Name = portAudioName;
    }
    return device;
}

std::string UserDeviceName(DeviceDirection direction, std::string_view portAudioName) {
    return DescribeDevice(direction, portAudioName).Name;
}
