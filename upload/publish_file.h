#pragma once

#include "upload_page.h"

#include <QString>

struct site_file;

// Publishes a file of the site as upload_page publishes the page, step for step: the title, the
// six settings, the wait, the PUT (a private copy of the file, to the remote directory followed by
// its relative path; missing folders below that directory created), the wait, the response,
// CLOSE, the title and the minimised window. The page's box is not read. The value is the
// response text.
QString publish_file(const upload_view& view, const site_file& file);
