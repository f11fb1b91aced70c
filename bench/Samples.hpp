#pragma once

#include <sqlite3.h>

#include <string>

#include <kelvor/Json.hpp>
#include <kelvor/Quorvel.hpp>

#include "pipeline/StoredRow.hpp"

namespace kelvor::bench {

// The properties of a typical event (five of them, about 100 bytes).
Json properties(int i);
// An event of ten properties, about 630 bytes of JSON.
Json tenProperties(int i);
// A row as the library stores an event with those properties.
StoredRow sampleRow(int i);
// {"events":[...]} with `count` sample rows, as the library sends a batch.
std::string batchBody(int count);
// The baselines' insert: one row with a prepared "INSERT INTO events VALUES (?,?,?,?,?)".
void rawInsert(sqlite3_stmt* insert, const StoredRow& row);
// This process's memory, in MiB: resident now (VmRSS), and the peak resident so far.
double rssMiB();
double peakRssMiB();
// Points the library at `folder` and at the collector at `url` (trusting `ca`), initialises it
// with `option` (quiet, the bench's key, no opt-out) and returns it; ends the process with
// status 3 and the reason when it cannot start.
Quorvel* startOrExit(const std::string& folder, const std::string& url, const std::string& ca,
                     QuorvelOption& option);

}  // namespace kelvor::bench
