#pragma once

#include <QByteArray>
#include <chrono>

// Whether the SSH agent at `socket_path` lists its keys within `limit`. libssh waits for an agent
// that never answers for ever; it is asked only after this.
bool ssh_agent_answers(const QByteArray& socket_path, std::chrono::milliseconds limit);
