#pragma once

#include "socket_handle.h"

#include <QByteArray>
#include <chrono>

// A blocking connection to the SSH agent at `socket_path`; -1 when there is none.
socket_handle ssh_agent_connection(const QByteArray& socket_path);

// Whether the SSH agent at `socket_path` lists its keys within `limit`. libssh waits for an agent
// that never answers for ever; it is asked only after this.
bool ssh_agent_answers(const QByteArray& socket_path, std::chrono::milliseconds limit);
