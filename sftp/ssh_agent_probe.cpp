#include "ssh_agent_probe.h"

#include "socket_handle.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

// SSH2_AGENTC_REQUEST_IDENTITIES, its length first; the answer is SSH2_AGENT_IDENTITIES_ANSWER.
constexpr char request[] = {0, 0, 0, 1, 11};
constexpr char identities_answer = 12;

} // namespace

namespace {

socket_handle connected_to(const QByteArray& socket_path, int flags) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.isEmpty() || std::size_t(socket_path.size()) >= sizeof address.sun_path)
        return socket_handle();
    std::memcpy(address.sun_path, socket_path.constData(), std::size_t(socket_path.size()));
    socket_handle agent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    if (agent.get() < 0 ||
        ::connect(agent.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return socket_handle();
    return agent;
}

} // namespace

socket_handle ssh_agent_connection(const QByteArray& socket_path) {
    return connected_to(socket_path, 0);
}

bool ssh_agent_answers(const QByteArray& socket_path, std::chrono::milliseconds limit) {
    const socket_handle agent = connected_to(socket_path, SOCK_NONBLOCK);
    if (agent.get() < 0 ||
        ::send(agent.get(), request, sizeof request, MSG_NOSIGNAL) != sizeof request)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char answer[5];
    std::size_t got = 0;
    pollfd waiting{agent.get(), POLLIN, 0};
    while (got < sizeof answer) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&waiting, 1, int(left.count())) <= 0)
            return false;
        const ssize_t read = ::recv(agent.get(), answer + got, sizeof answer - got, 0);
        if (read <= 0)
            return false;
        got += std::size_t(read);
    }
    return answer[4] == identities_answer;
}
