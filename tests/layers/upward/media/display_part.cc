// A media file that reaches up into sources: the layer check must refuse it.
#include "sdk/media/conduit.h"
#include "sdk/record/record_format.h"
#include "sdk/sources/av_source.h"
