#pragma once

#include <QString>

// Where the one instance per user and settings file listens, or why it cannot.
struct instance_address {
    QString name;  // the local socket's path
    QString fault; // empty while the place can be trusted
};

// In the user's runtime folder, XDG_RUNTIME_DIR. Without one, in a folder of the user's own in
// the shared temporary folder, made on demand and believed only while it is private and ours: a
// socket another user put there could answer "O.K." for an upload that never happened.
instance_address instance_address_for(const QString& settings_file);
