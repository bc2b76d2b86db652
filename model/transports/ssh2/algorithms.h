// Turning a preference map into libssh's algorithm options. Private to the ssh2 library.
#pragma once

#include "model/transports/ssh2/legacy_prefs.h"

#include <libssh/libssh.h>

#include <string>
#include <vector>

namespace veltaro::ssh2::detail {

// The names of `wanted` that this build of libssh can negotiate for `option`, in order.
std::vector<std::string> supported_algorithms(ssh_options_e option,
                                              const std::vector<std::string>& wanted);

// What the login needs to know of the preferences.
struct SigningChoice {
  // The host-key list offers ssh-rsa: the client's RSA keys may sign with SHA-1 too, for old
  // servers that accept nothing else.
  bool sha1_rsa = false;
  std::string accepted_types;  // the session's list of signature types, with ssh-rsa
};

// Sets the session's lists from `prefs` before it connects. libssh takes whole lists only and
// refuses a list with a name it lacks, so such names are dropped first; a list left empty
// throws std::runtime_error naming the algorithms that were asked for.
SigningChoice apply_algorithm_prefs(ssh_session session,
                                    const paramiko_legacy::AlgorithmPrefs& prefs);

}  // namespace veltaro::ssh2::detail
