#pragma once

#include "transfer_error.h"
#include "transfer_target.h"

#include <QString>
#include <libssh/libssh.h>

// The server's host key checked against the session's known_hosts file (`known_hosts_file`, for
// the texts) as "ssh -o StrictHostKeyChecking=accept-new" does it, OpenSSH's formats included: a
// host never seen is recorded there, one whose key has changed is refused. Before any password
// or key goes out.
transfer_error check_host_key(ssh_session session, const QString& known_hosts_file,
                              const transfer_target& target);
