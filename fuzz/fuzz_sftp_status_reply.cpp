// A server's answer to our rename request, however it is formed, is refused or read as a status
// whose fields are the packet's own bytes; the request itself reads back to the id and the two
// names it was made from. The same answer to writes in flight is taken only for a request still
// outstanding, and takes exactly that one off the ledger.
#include "property.h"
#include "sftp_posix_rename.h"
#include "sftp_write_flight.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QtEndian>
#include <cstdint>
#include <string>

namespace {

std::uint32_t u32_at(const char* bytes) {
    return qFromBigEndian<std::uint32_t>(bytes);
}

// The string at `at` of an SFTP packet, `at` moved past it; REQUIREs that it fits.
QByteArray string_at(const QByteArray& packet, qsizetype& at) {
    REQUIRE(at + 4 <= packet.size());
    const qsizetype length = qsizetype(u32_at(packet.constData() + at));
    REQUIRE(at + 4 + length <= packet.size());
    at += 4 + length;
    return packet.mid(at - length, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto id = input.ConsumeIntegral<std::uint32_t>();
    const QByteArray from = QByteArray::fromStdString(input.ConsumeRandomLengthString(64));
    const QByteArray to = QByteArray::fromStdString(input.ConsumeRandomLengthString(64));
    const auto first_id = input.ConsumeIntegral<std::uint32_t>();
    const std::string reply = input.ConsumeRemainingBytesAsString();

    const QByteArray request = posix_rename_request(id, from, to);
    REQUIRE(request.size() >= 9 &&
            u32_at(request.constData()) == std::uint32_t(request.size() - 4));
    REQUIRE(std::uint8_t(request[4]) == SSH_FXP_EXTENDED && u32_at(request.constData() + 5) == id);
    qsizetype at = 9;
    REQUIRE(string_at(request, at) == "posix-rename@openssh.com");
    REQUIRE(string_at(request, at) == from);
    REQUIRE(string_at(request, at) == to);
    REQUIRE(at == request.size());

    const QByteArray packet = QByteArray::fromStdString(reply);
    flight_ledger ledger;
    ledger.asked_open(first_id);
    ledger.wrote(first_id + 1, 32768);
    ledger.wrote(first_id + 2, 100);
    ledger.asked_size(first_id + 3);
    ledger.asked_close(first_id + 4);
    ledger.asked_limits(first_id + 5);
    const int before = ledger.outstanding();
    const std::optional<std::uint32_t> answered = reply_id(packet);
    const bool taken = ledger.take(packet);
    REQUIRE(!taken || (answered && *answered - first_id <= 5));
    REQUIRE(ledger.outstanding() == before - (taken ? 1 : 0));
    REQUIRE(ledger.bytes_outstanding() >= 0 && ledger.bytes_outstanding() <= 32868);
    REQUIRE(!ledger.refusal() || ledger.refusal()->code != SSH_FX_OK);
    REQUIRE(!ledger.take(packet) || !taken); // never taken twice

    const std::optional<sftp_status> status = status_reply(packet);
    if (!status)
        return 0;
    REQUIRE(packet.size() >= 9 && std::uint8_t(packet[0]) == SSH_FXP_STATUS);
    REQUIRE(status->id == u32_at(packet.constData() + 1));
    REQUIRE(status->code == u32_at(packet.constData() + 5));
    if (packet.size() > 9) {
        at = 9;
        REQUIRE(string_at(packet, at) == status->message);
    } else {
        REQUIRE(status->message.isEmpty());
    }
    return 0;
}
