// Which kind of remote processor runs the device's sensor software, from the
// names the kernel publishes under /sys/class/remoteproc.
#pragma once

namespace sensors_target {

inline constexpr int DSP_TYPE_NONE = 0;
inline constexpr int DSP_TYPE_VELA = 1;
inline constexpr int DSP_TYPE_KORA = 2;

// Walks the remote processors in listing order; the first one whose name
// contains "kora" or "vela" decides ("kora" is looked for first). A match is
// cached for the life of the process and later calls do not touch the file
// system; DSP_TYPE_NONE is never cached, so such a call walks again next time.
// Never fails and logs nothing. Callable from any thread, concurrently.
int get_dsp_type();

}  // namespace sensors_target
