#include "transfer_component.h"

struct transfer_component::impl {};

transfer_component::transfer_component(transfer_options, QObject* parent)
    : QObject(parent), d(std::make_unique<impl>()) {
}
transfer_component::~transfer_component() = default;
void transfer_component::set_access_type(std::int32_t) {
}
void transfer_component::set_protocol(std::int32_t) {
}
void transfer_component::set_remote_port(std::int16_t) {
}
void transfer_component::set_url(const QString&) {
}
void transfer_component::set_user_name(const QString&) {
}
void transfer_component::set_password(const QString&) {
}
void transfer_component::execute(const std::optional<QString>&, const QString&) {
}
bool transfer_component::still_executing() const {
    return false;
}
QString transfer_component::response_text() const {
    return {};
}
