// The application manager of the local suite: applications, clients,
// instances, backup sets and subclients.
#pragma once

#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/backupset.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/appmgr/content.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/appmgr/status.h"
#include "nuvdbsnap/platform/appmgr/subclient.h"
