#include "envelope/Envelope.h"
