// An image redrawn at another size (the image's scale category).
#pragma once

#include "platform/graphics/UIImage.h"

// The image drawn into a bitmap of `size` points at scale factor 1, stretched to fill it (the aspect ratio
// is not kept), with bilinear filtering. The result's scale is 1 whatever the screen's or the image's.
// Nil for a nil image, a size without area (or not finite), or one larger than an image may be.
UIImagePtr scaleToSize(const UIImagePtr& image, CGSize size);
