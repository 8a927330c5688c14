#pragma once

#include "upload_page.h"

#include <QString>

struct site_file;

// Puts a file of the site as upload_page puts the page, step for step (put_copy), without CLOSE:
// one of several files over one login. To the remote directory followed by its relative path,
// missing folders below that directory created. The page's box is not read.
put_outcome put_file(const upload_view& view, const site_file& file);
