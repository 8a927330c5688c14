#pragma once

#include <QCoreApplication>

// The one translation context of the upload's texts.
struct upload_text final {
    Q_DECLARE_TR_FUNCTIONS(upload)
};
