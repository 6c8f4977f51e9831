// The local suite's shared ground: state root, catalogue, fault table, journal.
#pragma once
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/json.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/error_detail.h"
#include "nuvdbsnap/platform/suite/suite.h"
