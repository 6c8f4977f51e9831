// The network layer of the local suite.
#pragma once
#include "nuvdbsnap/platform/network/network.h"
