#pragma once

#include "upload_page.h"

#include <QString>

struct site_file;

// Publishes a file of the site as upload_page publishes the page, step for step (publish_copy): to
// the remote directory followed by its relative path, missing folders below that directory
// created. The page's box is not read. The value is the response text.
QString publish_file(const upload_view& view, const site_file& file);
