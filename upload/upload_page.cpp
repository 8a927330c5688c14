#include "upload_page.h"

void upload_page(const upload_view&) {
}
void wait_for_transfer(const transfer_component&) {
}
