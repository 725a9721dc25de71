#include "platform/wave/AlsaMixer.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <memory>

namespace {

// alsa-lib prints every failed probe of an absent device; the layer reports what matters in its
// own error texts instead.
void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

struct MixerCloser {
    void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};

DWORD Scaled(long value, long minimum, long maximum) {
    if (value <= minimum) {
        return 0;
    }
    if (value >= maximum) {
        return 0xFFFF;
    }
    const long long span = static_cast<long long>(maximum) - minimum;
    return static_cast<DWORD>(((static_cast<long long>(value) - minimum) * 0xFFFF + span / 2) /
                              span);
}

} // namespace

void QuietAlsaDiagnostics() {
    snd_lib_error_set_handler(&SilentAlsaHandler);
}

MixerVolume ReadDefaultMixerVolume() {
    QuietAlsaDiagnostics();
    MixerVolume volume;
    snd_mixer_t* raw = nullptr;
    int error = snd_mixer_open(&raw, 0);
    if (error < 0) {
        volume.Problem = snd_strerror(error);
        return volume;
    }
    std::unique_ptr<snd_mixer_t, MixerCloser> mixer(raw);
    if ((error = snd_mixer_attach(raw, "default")) < 0 ||
        (error = snd_mixer_selem_register(raw, nullptr, nullptr)) < 0 ||
        (error = snd_mixer_load(raw)) < 0) {
        volume.Problem =
            std::string("the default mixer cannot be opened (") + snd_strerror(error) + ")";
        return volume;
    }

    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    for (const char* name : {"Master", "PCM"}) {
        snd_mixer_selem_id_set_index(id, 0);
        snd_mixer_selem_id_set_name(id, name);
        snd_mixer_elem_t* element = snd_mixer_find_selem(raw, id);
        if (element == nullptr || !snd_mixer_selem_has_playback_volume(element)) {
            continue;
        }
        long minimum = 0;
        long maximum = 0;
        if (snd_mixer_selem_get_playback_volume_range(element, &minimum, &maximum) < 0 ||
            maximum <= minimum) {
            continue;
        }
        long left = 0;
        if (snd_mixer_selem_get_playback_volume(element, SND_MIXER_SCHN_FRONT_LEFT, &left) < 0) {
            continue;
        }
        long right = left;
        const bool stereo =
            !snd_mixer_selem_is_playback_mono(element) &&
            snd_mixer_selem_has_playback_channel(element, SND_MIXER_SCHN_FRONT_RIGHT) &&
            !snd_mixer_selem_has_playback_volume_joined(element);
        if (stereo &&
            snd_mixer_selem_get_playback_volume(element, SND_MIXER_SCHN_FRONT_RIGHT, &right) < 0) {
            continue;
        }
        volume.Readable = true;
        volume.Independent = stereo;
        volume.Packed = Scaled(left, minimum, maximum) | (Scaled(right, minimum, maximum) << 16);
        return volume;
    }
    volume.Problem = "the default mixer has no \"Master\" or \"PCM\" playback volume";
    return volume;
}
