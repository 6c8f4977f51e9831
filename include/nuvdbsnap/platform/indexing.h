// The local indexing service: the indexing client's names over one SQLite
// index in the suite's catalogue.
#pragma once

#include "nuvdbsnap/platform/indexing/archiver.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/index_files.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/indexing/jobinfo.h"
#include "nuvdbsnap/platform/indexing/lookup.h"
#include "nuvdbsnap/platform/indexing/records.h"
#include "nuvdbsnap/platform/msg/index_clients.h"
