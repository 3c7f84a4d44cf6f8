#include "video/frame_source.h"

#include <QFile>
#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

namespace quorlan {

namespace {

double seconds_of(AVRational r) { return r.den == 0 ? 0.0 : static_cast<double>(r.num) / r.den; }

}  // namespace

cv::Mat DecodedFrame::grey() const {
  if (!bgr.empty()) {
    cv::Mat out;
    cv::cvtColor(bgr, out, cv::COLOR_BGR2GRAY);
    return out;
  }
  if (!owner) return {};
  return cv::Mat(yuv.height, yuv.width, CV_8UC1, const_cast<unsigned char*>(yuv.planes[0]),
                 static_cast<std::size_t>(yuv.strides[0]));
}

QByteArray DecodedFrame::jpeg(int quality) const {
  if (!bgr.empty()) return encode_jpeg(bgr, quality);
  if (!owner) return {};
  if (full_range) return encode_jpeg_yuv420(yuv, quality);
  // Stretched into this thread's own planes, kept from frame to frame.
  thread_local std::vector<unsigned char> stretched;
  const int chroma_w = (yuv.width + 1) / 2, chroma_h = (yuv.height + 1) / 2;
  const std::size_t luma_size = static_cast<std::size_t>(yuv.width) * yuv.height;
  const std::size_t chroma_size = static_cast<std::size_t>(chroma_w) * chroma_h;
  stretched.resize(luma_size + 2 * chroma_size);
  YuvPlanes out;
  out.width = yuv.width;
  out.height = yuv.height;
  // TV levels (16-235 for brightness, 16-240 for colour) stretched to the 0-255 a JPEG holds, as
  // OpenCV's conversion to BGR does for such a video: one scale and shift a plane, rounded and
  // clipped by OpenCV's vectorised conversion.
  unsigned char* at = stretched.data();
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? yuv.width : chroma_w, h = p == 0 ? yuv.height : chroma_h;
    const double scale = p == 0 ? 255.0 / 219.0 : 255.0 / 224.0;
    const double shift = p == 0 ? -16 * scale : 128 - 128 * scale;
    const cv::Mat from(h, w, CV_8UC1, const_cast<unsigned char*>(yuv.planes[p]),
                       static_cast<std::size_t>(yuv.strides[p]));
    cv::Mat into(h, w, CV_8UC1, at);
    from.convertTo(into, CV_8U, scale, shift);
    out.planes[p] = at;
    out.strides[p] = w;
    at += static_cast<std::ptrdiff_t>(w) * h;
  }
  return encode_jpeg_yuv420(out, quality);
}

struct FrameSource::Direct {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* to_bgr = nullptr;
  cv::Mat unturned;  // a frame converted to BGR before it is turned upright
  int stream = -1;
  int turn = 0;  // clockwise degrees that show the frame upright (a phone's metadata)
  bool flushed = false;
  int frames_stated = 0;
  double fps = 0;

  ~Direct() {
    sws_freeContext(to_bgr);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }

  bool open(const QString& path, bool every_frame) {
    if (!packet || !frame) return false;
    if (avformat_open_input(&format, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(format, nullptr) < 0) return false;
    stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return false;
    AVStream* video = format->streams[stream];
    // A phone's video is stored turned, with the turn in its metadata; it is shown upright, as
    // OpenCV's back end and the ffmpeg command show it.
    if (const uint8_t* matrix = av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
      const double rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
      if (!std::isnan(rotation)) turn = static_cast<int>(((-std::lround(rotation)) % 360 + 360) % 360);
    }
    const AVCodec* decoder = avcodec_find_decoder(video->codecpar->codec_id);
    if (!decoder) return false;
    codec = avcodec_alloc_context3(decoder);
    if (!codec || avcodec_parameters_to_context(codec, video->codecpar) < 0) return false;
    codec->thread_count = every_frame ? 1 : 0;
    if (avcodec_open2(codec, decoder, nullptr) < 0) return false;
    // The count and the rate as OpenCV's back end states them.
    fps = seconds_of(av_guess_frame_rate(format, video, nullptr));
    double duration = format->duration > 0 ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
    if (duration <= 0 && video->duration > 0) duration = video->duration * seconds_of(video->time_base);
    const int64_t stated = video->nb_frames > 0 ? video->nb_frames : std::llround(duration * fps);
    frames_stated = static_cast<int>(std::clamp<int64_t>(stated, 0, INT32_MAX));
    return true;
  }

  // A 4:2:0 frame shown as stored: its planes are taken as they are (a reference, no copy).
  bool take_planes(DecodedFrame& out) {
    AVFrame* kept = av_frame_clone(frame);
    if (!kept) return false;
    out.bgr.release();
    out.owner = std::shared_ptr<void>(kept, [](void* f) {
      auto* held = static_cast<AVFrame*>(f);
      av_frame_free(&held);
    });
    for (int p = 0; p < 3; ++p) {
      out.yuv.planes[p] = kept->data[p];
      out.yuv.strides[p] = kept->linesize[p];
    }
    out.yuv.width = kept->width;
    out.yuv.height = kept->height;
    out.full_range = kept->format == AV_PIX_FMT_YUVJ420P || kept->color_range == AVCOL_RANGE_JPEG;
    return true;
  }

  // Any other frame: converted to BGR (and turned upright) into the frame's own picture.
  bool convert(DecodedFrame& out) {
    to_bgr =
        sws_getCachedContext(to_bgr, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                             frame->width, frame->height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!to_bgr) return false;
    out.owner.reset();
    cv::Mat& into = turn == 0 ? out.bgr : unturned;
    into.create(frame->height, frame->width, CV_8UC3);
    uint8_t* rows[4] = {into.data, nullptr, nullptr, nullptr};
    const int steps[4] = {static_cast<int>(into.step), 0, 0, 0};
    if (sws_scale(to_bgr, frame->data, frame->linesize, 0, frame->height, rows, steps) != frame->height) return false;
    if (turn == 90) cv::rotate(unturned, out.bgr, cv::ROTATE_90_CLOCKWISE);
    if (turn == 180) cv::rotate(unturned, out.bgr, cv::ROTATE_180);
    if (turn == 270) cv::rotate(unturned, out.bgr, cv::ROTATE_90_COUNTERCLOCKWISE);
    return true;
  }

  bool next(DecodedFrame& out) {
    for (;;) {
      const int received = avcodec_receive_frame(codec, frame);
      if (received == 0) {
        const bool planes = turn == 0 && (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P);
        const bool taken = planes ? take_planes(out) : convert(out);
        av_frame_unref(frame);
        return taken;
      }
      if (received != AVERROR(EAGAIN) || flushed) return false;
      // The decoder wants more: the next packet of the video, or the end (which drains it).
      const int read = av_read_frame(format, packet);
      if (read < 0) {
        flushed = true;
        avcodec_send_packet(codec, nullptr);
        continue;
      }
      if (packet->stream_index == stream) avcodec_send_packet(codec, packet);  // a damaged one is passed over
      av_packet_unref(packet);
    }
  }
};

FrameSource::FrameSource() = default;
FrameSource::~FrameSource() = default;

bool FrameSource::open(const QString& path, bool every_frame) {
  direct_ = std::make_unique<Direct>();
  if (direct_->open(path, every_frame)) return true;
  direct_.reset();
  return false;
}

int FrameSource::frames_stated() const { return direct_ ? direct_->frames_stated : 0; }

double FrameSource::fps() const { return direct_ ? direct_->fps : 0.0; }

bool FrameSource::next(DecodedFrame& frame) { return direct_ && direct_->next(frame); }

}  // namespace quorlan
