#include "snapclient/IsilonSnapClient.h"
