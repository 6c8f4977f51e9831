// The message library: CNMessageBase, the generated message classes, the type
// table lookups, the XML decoder and the index client inlines.
#pragma once

#include "nuvdbsnap/platform/msg/index_clients.h"
#include "nuvdbsnap/platform/msg/message_base.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/msg/registry.h"
#include "nuvdbsnap/platform/msg/xml_decoder.h"
