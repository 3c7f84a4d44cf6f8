#pragma once
// Reading a picture the way every tool of the studio sees it.
#include <QString>
#include <opencv2/core.hpp>

#include "core/expected.h"

namespace quorlan {

// The picture at `path` as 8-bit BGR, upright by its EXIF orientation. The bytes are read by Qt
// (so any path works) from a regular file only, and a picture whose header states a size over
// the decode bound is refused before it is decoded. The reason when it cannot be read.
// With `keep_alpha` an 8-bit picture with an alpha channel comes as BGRA (as stored).
Expected<cv::Mat> read_image_bgr(const QString& path, bool keep_alpha = false);
// A JPEG as OpenCV's writer makes it by default (quality 95, 4:2:0, baseline), through TurboJPEG:
// it takes BGR rows as they are, where OpenCV's writer swaps every row to RGB one byte at a time
// first (a sixth of a tiling's time). Empty when the picture is not 8-bit grey or BGR.
QByteArray encode_jpeg(const cv::Mat& image, int quality = 95);
// The planes of a 4:2:0 picture (a video frame as it is decoded): luma, then the two chroma planes
// at half the width and height.
struct YuvPlanes {
  const unsigned char* planes[3] = {nullptr, nullptr, nullptr};
  int strides[3] = {0, 0, 0};
  int width = 0;
  int height = 0;
};
// The same JPEG from such planes, without a round trip through BGR; empty when it cannot be.
QByteArray encode_jpeg_yuv420(const YuvPlanes& picture, int quality = 95);
// `image` encoded in the format `extension` names ("png", "jpg", ...), and written through a
// temporary file renamed into place: a crash never leaves a cut-off picture under the name.
Status write_image_atomically(const QString& path, const cv::Mat& image);

}  // namespace quorlan
