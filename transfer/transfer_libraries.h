#pragma once

// libcurl and libssh set up for the whole program, before any thread exists, as both ask; undone
// when it goes. One, in main.
class transfer_libraries final {
public:
    transfer_libraries();
    ~transfer_libraries();
    transfer_libraries(const transfer_libraries&) = delete;
    transfer_libraries& operator=(const transfer_libraries&) = delete;
};
