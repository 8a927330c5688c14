#include "transfer_libraries.h"

#include <curl/curl.h>
#include <libssh/libssh.h>

transfer_libraries::transfer_libraries() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ssh_init();
}

transfer_libraries::~transfer_libraries() {
    ssh_finalize();
    curl_global_cleanup();
}
