#pragma once
// Output names of a join: an existing name becomes name[1].avi, name[2].avi,
// and so on.
#include <QString>

#include <functional>

// The name itself when no file of that name exists; otherwise the "[n]"
// successor, repeated until a free name is found. Names longer than 257
// characters are used as they are. A name without a "." among its last five
// characters (after its folder) counts its end as the place of the number,
// and "]" without its "[" gets a "[1]" of its own, so the search always ends.
QString UniqueOutputName(const QString& path, const std::function<bool(const QString&)>& exists = {});

// One renaming step on its own.
QString NextOutputName(const QString& path);
