#pragma once

#include <cstddef>
#include <opencv2/core/mat.hpp>

namespace quorlan {

// The grey picture at 1/8 scale of a baseline JPEG, read from its DC coefficients alone, upright by
// its EXIF orientation: pixel for pixel what libjpeg gives for a 1/8-scale greyscale decode, at a
// fraction of the cost, since nothing but the Huffman codes is touched.
// Returns an empty Mat for anything it does not take on (progressive or arithmetic coding, 12-bit
// samples, RGB or CMYK storage, a missing table, damaged or cut-off data): the caller then decodes
// with the full decoder, which reports or mends such files its own way.
cv::Mat jpeg_eighth_grey(const unsigned char* data, std::size_t size);

}  // namespace quorlan
