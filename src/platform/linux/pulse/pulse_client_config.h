// The process's libpulse client configuration: the one libpulse would read, with shared memory
// off.
//
// A sink that one player alone plays on, in the sink's own format, hands that player's blocks to
// its monitor as they are, and PulseAudio forwards them to a recording client over shared memory
// when the client takes it: the server then complains of "non-registered memfd ID"s, and has
// been seen to abort in memblock_replace_import() when such a player disconnected. The capture
// stream takes its audio over the socket instead (a few hundred kilobytes a second). libpulse
// reads the setting only from its client configuration, for every connection of the process,
// so the process names one of its own in PULSE_CLIENTCONFIG, before main, while it has a
// single thread; a PULSE_CLIENTCONFIG of the environment is left as it is.
#pragma once

#include <string>

namespace pulse_audio {

// The configuration's text: `current` (the file libpulse would read, possibly empty) and the
// setting that turns shared memory off after it, so that it wins.
std::string ClientConfigText(const std::string& current);

// Names that configuration in PULSE_CLIENTCONFIG, unless the environment names one; true when
// it did. Runs before main (pulse_connection.cpp), while the process has one thread.
bool UseOwnClientConfig();

// The file libpulse reads without PULSE_CLIENTCONFIG: the user's ($XDG_CONFIG_HOME or
// ~/.config, then pulse/client.conf) when it exists, else the system's.
std::string CurrentClientConfigPath();

}  // namespace pulse_audio
