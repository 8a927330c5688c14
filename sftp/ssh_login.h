#pragma once

#include "connection_plan.h"
#include "socket_watch.h"
#include "transfer_error.h"

#include <libssh/libssh.h>

// Logs in as ssh does. With a password: by password, then keyboard-interactive. Without one: with
// the keys of the SSH agent, then with the default keys of the SSH folder (id_ed25519, id_ecdsa,
// id_rsa) that need no passphrase; one that does is skipped, as nothing may ask for it. Each call
// to the server is bounded by the reply timeout.
transfer_error log_in(ssh_session session, const connection_plan& plan, socket_watch& watch);
