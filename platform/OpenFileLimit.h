#pragma once

#include <QtGlobal>

// The number of files (sockets included) the process may hold open at once.
// Every client connection takes one, so the command server sizes its
// connection limits from it.
namespace OpenFileLimit {

// Raises the soft limit to the hard one, as far as the system lets us, and
// returns the soft limit in force afterwards; -1 when it cannot be told.
qint64 raiseToHard();

// The soft limit in force now; -1 when it cannot be told, or when there is
// none worth speaking of.
qint64 current();

} // namespace OpenFileLimit
