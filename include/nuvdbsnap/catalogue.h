// Every header of the database file catalogue and path translation.
#pragma once

#include "nuvdbsnap/catalogue/bcd_ora_snap_bean.h"
#include "nuvdbsnap/catalogue/db_element.h"
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "nuvdbsnap/catalogue/ora_db_info.h"
