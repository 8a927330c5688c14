#pragma once

#include <unistd.h>
#include <utility>

// Owns one socket descriptor; -1 for none.
class socket_handle final {
public:
    explicit socket_handle(int descriptor = -1) : descriptor(descriptor) {}
    ~socket_handle() {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    socket_handle(socket_handle&& other) noexcept : descriptor(other.release()) {}
    socket_handle& operator=(socket_handle&& other) noexcept {
        std::swap(descriptor, other.descriptor);
        return *this;
    }

    int get() const { return descriptor; }
    int release() { return std::exchange(descriptor, -1); }

private:
    int descriptor;
};
