#include "core/jpeg_eighth.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string_view>
#include <vector>

// A baseline JPEG's DC coefficient of a block is its mean, so the 1/8-scale picture is the DC
// coefficients of the luma blocks and nothing else. libjpeg's own 1/8 decode still runs its whole
// pipeline per block (clearing coefficient buffers, the 1x1 inverse transform, colour and output
// stages); this reader walks the Huffman codes, keeps the DC values and skips the AC codes, most
// often a block's whole run of them with one table look-up. Anything unusual gives up, and the
// caller uses libjpeg.

namespace quorlan {
namespace {

constexpr int kFastBits = 12;

struct HuffmanTable {
  bool defined = false;
  // For a code of at most kFastBits bits, indexed by the next kFastBits bits: (length << 8) | symbol,
  // or 0 when the code is longer.
  std::vector<std::uint16_t> fast;
  // The same index, what a table's codes come to with their extra bits. A DC table: the bits taken
  // and the difference they give, (value << 8) | bits. An AC table: as many whole codes of a block as
  // fit, to be skipped at once, bits | (coefficients passed << 8) | (ends the block << 16). 0 when
  // not even one fits.
  std::vector<std::int32_t> steps;
  std::array<std::int32_t, 18> max_code{};  // the largest code of each length, -1 when none
  std::array<std::int32_t, 17> first_index{};
  std::array<std::int32_t, 17> first_code{};
  std::array<std::uint8_t, 256> symbols{};

  bool build(const std::uint8_t* counts, const std::uint8_t* values, int total, bool dc) {
    int code = 0, k = 0;
    fast.assign(std::size_t{1} << kFastBits, 0);
    steps.assign(std::size_t{1} << kFastBits, 0);
    for (int length = 1; length <= 16; ++length) {
      first_index[length] = k;
      first_code[length] = code;
      for (int i = 0; i < counts[length - 1]; ++i, ++k, ++code) {
        if (code >= (1 << length)) return false;  // more codes than the length allows
        if (length <= kFastBits) {
          const int shift = kFastBits - length;
          for (int j = 0; j < (1 << shift); ++j) fast[(code << shift) | j] = (length << 8) | values[k];
        }
      }
      max_code[length] = counts[length - 1] ? code - 1 : -1;
      code <<= 1;
    }
    max_code[17] = 0x7fffffff;
    std::copy(values, values + total, symbols.begin());
    constexpr std::uint32_t mask = (1u << kFastBits) - 1;
    for (std::uint32_t index = 0; index <= mask; ++index) steps[index] = dc ? dc_step(index) : ac_steps(index, mask);
    defined = true;
    return true;
  }

 private:
  std::int32_t dc_step(std::uint32_t index) const {
    const std::uint16_t entry = fast[index];
    const int length = entry >> 8, size = entry & 0xFF;
    if (!entry || size > 15 || length + size > kFastBits) return 0;
    int value = 0;
    if (size) {
      value = static_cast<int>((index >> (kFastBits - length - size)) & ((1u << size) - 1));
      if (value < (1 << (size - 1))) value -= (1 << size) - 1;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << 8) | (length + size);
  }

  std::int32_t ac_steps(std::uint32_t index, std::uint32_t mask) const {
    int used = 0, passed = 0;
    bool ends = false;
    while (!ends && passed <= 63) {
      const std::uint16_t entry = fast[(index << used) & mask];
      const int length = entry >> 8, run = (entry & 0xFF) >> 4, extra = entry & 15;
      if (!entry || used + length + extra > kFastBits) break;
      used += length + extra;
      if (extra) {
        passed += run + 1;
      } else if (run == 15) {
        passed += 16;
      } else {
        ends = true;
      }
    }
    return used ? used | (passed << 8) | (ends ? 1 << 16 : 0) : 0;
  }
};

// The entropy-coded bytes as bits, the stuffed 0x00 after each 0xFF taken out. At a marker (or the
// end of the data) it feeds zero bits and counts them: decoding into them means the data was cut.
class BitReader {
 public:
  BitReader(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}

  void fill() {
    // Eight bytes at once when none of them is 0xFF (nearly always): as many whole bytes as fit.
    if (!at_marker_ && end_ - p_ >= 8) {
      std::uint64_t word = 0;
      for (int i = 0; i < 8; ++i) word = (word << 8) | p_[i];
      const std::uint64_t inverted = ~word;
      if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
        const int take = (63 - count_) >> 3;
        bits_ |= (word >> count_) & ~(~0ull >> (count_ + 8 * take));
        p_ += take;
        count_ += 8 * take;
        return;
      }
    }
    while (count_ <= 56) {
      std::uint64_t byte = 0;
      if (!at_marker_ && p_ < end_) {
        byte = *p_;
        if (byte == 0xFF) {
          if (p_ + 1 < end_ && p_[1] == 0x00) {
            p_ += 2;
          } else {
            at_marker_ = true;
            byte = 0;
            padding_ += 8;
          }
        } else {
          ++p_;
        }
      } else {
        padding_ += 8;
      }
      bits_ |= byte << (56 - count_);
      count_ += 8;
    }
  }

  std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(bits_ >> (64 - n)); }
  void skip(int n) {
    bits_ <<= n;
    count_ -= n;
  }
  int count() const { return count_; }
  // Whether every bit taken so far was real data.
  bool intact() const { return count_ >= padding_; }

  // At a restart marker: the rest of the byte is padding, and the marker must be the one expected.
  bool restart(int index) {
    if (!intact()) return false;
    bits_ = 0;
    count_ = 0;
    padding_ = 0;
    at_marker_ = false;
    if (end_ - p_ < 2 || p_[0] != 0xFF || p_[1] != 0xD0 + (index & 7)) return false;
    p_ += 2;
    return true;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  int padding_ = 0;
  bool at_marker_ = false;
};

// One Huffman symbol, or -1 for a code that no table entry has.
inline int decode_symbol(BitReader& bits, const HuffmanTable& table, int* length) {
  const std::uint16_t entry = table.fast[bits.peek(kFastBits)];
  if (entry) {
    *length = entry >> 8;
    return entry & 0xFF;
  }
  for (int l = kFastBits + 1; l <= 16; ++l) {
    const std::int32_t code = static_cast<std::int32_t>(bits.peek(l));
    if (code <= table.max_code[l]) {
      *length = l;
      const int index = table.first_index[l] + code - table.first_code[l];
      return index < 256 ? table.symbols[index] : -1;
    }
  }
  return -1;
}

struct Component {
  int id = 0, h = 1, v = 1, quant = 0;
  int dc_table = 0, ac_table = 0;
  int predictor = 0;
};

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

// The orientation tag of an APP1 Exif segment's first directory, 1 when there is none.
int exif_orientation(const std::uint8_t* p, std::size_t size) {
  if (size < 14 || std::string_view(reinterpret_cast<const char*>(p), 6) != std::string_view("Exif\0\0", 6)) return 1;
  const std::uint8_t* tiff = p + 6;
  const std::size_t n = size - 6;
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
  const auto u16 = [&](std::size_t at) -> std::uint32_t {
    return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
  };
  const auto u32 = [&](std::size_t at) -> std::uint32_t {
    return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
  };
  const std::size_t ifd = u32(4);
  if (ifd > n || n - ifd < 2) return 1;
  const std::size_t entries = u16(ifd);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t at = ifd + 2 + 12 * i;
    if (at > n || n - at < 12) return 1;
    if (u16(at) == 0x0112) {
      // As OpenCV reads it: the first two bytes of the value field, whatever type the tag states.
      const std::uint32_t value = u16(at + 8);
      return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
  }
  return 1;
}

cv::Mat upright(const cv::Mat& image, int orientation) {
  cv::Mat out;
  switch (orientation) {
    case 2:
      cv::flip(image, out, 1);
      return out;
    case 3:
      cv::flip(image, out, -1);
      return out;
    case 4:
      cv::flip(image, out, 0);
      return out;
    case 5:
      cv::transpose(image, out);
      return out;
    case 6:
      cv::transpose(image, out);
      cv::flip(out, out, 1);
      return out;
    case 7:
      cv::transpose(image, out);
      cv::flip(out, out, -1);
      return out;
    case 8:
      cv::transpose(image, out);
      cv::flip(out, out, 0);
      return out;
    default:
      return image;
  }
}

// libjpeg's output range limiting after its inverse transform, bit for bit (the index is wrapped, so a
// wild value lands where libjpeg puts it).
inline std::uint8_t range_limit(int value) {
  const int m = value & 1023;
  if (m < 128) return static_cast<std::uint8_t>(m + 128);
  if (m < 512) return 255;
  if (m < 896) return 0;
  return static_cast<std::uint8_t>(m - 896);
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), end_(data + size) {}

  cv::Mat read() {
    if (end_ - data_ < 4 || data_[0] != 0xFF || data_[1] != 0xD8) return {};
    const std::uint8_t* p = data_ + 2;
    while (true) {
      if (end_ - p < 4 || p[0] != 0xFF) return {};
      while (p < end_ && *p == 0xFF) ++p;  // fill bytes
      if (end_ - p < 3) return {};
      const int marker = *p++;
      if (marker == 0xD8 || marker == 0xD9 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) return {};
      const std::size_t length = read16(p);
      if (length < 2 || static_cast<std::size_t>(end_ - p) < length) return {};
      const std::uint8_t* body = p + 2;
      const std::size_t body_size = length - 2;
      p += length;
      bool ok = true;
      switch (marker) {
        case 0xC0:
        case 0xC1:
          ok = frame(body, body_size);
          break;
        case 0xC4:
          ok = huffman_tables(body, body_size);
          break;
        case 0xDB:
          ok = quant_tables(body, body_size);
          break;
        case 0xDD:
          ok = body_size >= 2 && (restart_interval_ = read16(body), true);
          break;
        case 0xE0:
          jfif_ |= body_size >= 5 &&
                   std::string_view(reinterpret_cast<const char*>(body), 5) == std::string_view("JFIF\0", 5);
          break;
        case 0xE1:
          // As OpenCV: the orientation comes from the first APP1 segment, when it is Exif.
          if (!saw_exif_) orientation_ = exif_orientation(body, body_size);
          saw_exif_ = true;
          break;
        case 0xEE:
          if (body_size >= 12 && std::string_view(reinterpret_cast<const char*>(body), 5) == "Adobe")
            adobe_transform_ = body[11];
          break;
        case 0xDA:
          return scan(body, body_size, p);
        default:
          if (marker >= 0xC2 && marker <= 0xCF) return {};  // progressive, lossless or arithmetic coding
          // libjpeg skips only application segments, comments and a DNL; any other marker it
          // refuses as unknown, and so does this reader.
          if (!((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE || marker == 0xDC)) return {};
          break;
      }
      if (!ok) return {};
    }
  }

 private:
  bool frame(const std::uint8_t* b, std::size_t n) {
    if (n < 6 || b[0] != 8 || frame_seen_) return false;
    height_ = read16(b + 1);
    width_ = read16(b + 3);
    const int count = b[5];
    if (height_ == 0 || width_ == 0 || (count != 1 && count != 3) || n < 6 + 3 * static_cast<std::size_t>(count))
      return false;
    components_.resize(count);
    for (int i = 0; i < count; ++i) {
      Component& c = components_[i];
      c.id = b[6 + 3 * i];
      c.h = b[7 + 3 * i] >> 4;
      c.v = b[7 + 3 * i] & 15;
      c.quant = b[8 + 3 * i];
      if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.quant > 3) return false;
    }
    frame_seen_ = true;
    return true;
  }

  bool huffman_tables(const std::uint8_t* b, std::size_t n) {
    while (n > 0) {
      if (n < 17) return false;
      const int kind = b[0] >> 4, index = b[0] & 15;
      if (kind > 1 || index > 3) return false;
      int total = 0;
      for (int i = 0; i < 16; ++i) total += b[1 + i];
      if (total > 256 || n < 17 + static_cast<std::size_t>(total)) return false;
      if (!(kind == 0 ? dc_[index] : ac_[index]).build(b + 1, b + 17, total, kind == 0)) return false;
      b += 17 + total;
      n -= 17 + total;
    }
    return true;
  }

  bool quant_tables(const std::uint8_t* b, std::size_t n) {
    while (n > 0) {
      const int precision = b[0] >> 4, index = b[0] & 15;
      const std::size_t size = precision == 0 ? 64 : 128;
      if (precision > 1 || index > 3 || n < 1 + size) return false;
      dc_quant_[index] = precision == 0 ? b[1] : read16(b + 1);
      b += 1 + size;
      n -= 1 + size;
    }
    return true;
  }

  // The scan's components in their order, with their tables; false for what is not read here.
  bool bind_components(const std::uint8_t* b, int count, std::array<Component*, 3>& order) {
    if (count == 3) {
      // libjpeg's reading of the colour space: only YCbCr pictures are read here.
      const bool rgb_ids = components_[0].id == 'R' && components_[1].id == 'G' && components_[2].id == 'B';
      if (!jfif_ && (adobe_transform_ == 0 || (adobe_transform_ < 0 && rgb_ids))) return false;
    }
    for (int i = 0; i < count; ++i) {
      const int id = b[1 + 2 * i];
      Component* c = nullptr;
      for (Component& candidate : components_)
        if (candidate.id == id) c = &candidate;
      if (!c) return false;
      for (int j = 0; j < i; ++j)
        if (order[j] == c) return false;
      c->dc_table = b[2 + 2 * i] >> 4;
      c->ac_table = b[2 + 2 * i] & 15;
      if (c->dc_table > 3 || c->ac_table > 3 || !dc_[c->dc_table].defined || !ac_[c->ac_table].defined) return false;
      if (dc_quant_[c->quant] < 0) return false;
      order[i] = c;
    }
    return true;
  }

  // A block's DC difference; false on a code the table lacks.
  static bool read_dc(BitReader& bits, const HuffmanTable& dc, int* diff) {
    if (bits.count() < 32) bits.fill();
    *diff = 0;
    if (const std::int32_t step = dc.steps[bits.peek(kFastBits)]) {
      bits.skip(step & 0xFF);
      *diff = step >> 8;
      return true;
    }
    int length = 0;
    const int size = decode_symbol(bits, dc, &length);
    if (size < 0 || size > 15) return false;
    bits.skip(length);
    if (size) {
      *diff = static_cast<int>(bits.peek(size));
      if (*diff < (1 << (size - 1))) *diff -= (1 << size) - 1;
      bits.skip(size);
    }
    return true;
  }

  // Passes over a block's AC coefficients, which an eighth does not need.
  static bool skip_ac(BitReader& bits, const HuffmanTable& ac) {
    for (int k = 1; k < 64;) {
      if (bits.count() < 32) bits.fill();
      const auto steps = static_cast<std::uint32_t>(ac.steps[bits.peek(kFastBits)]);
      if (steps && k + static_cast<int>((steps >> 8) & 0xFF) < 64) {
        bits.skip(steps & 0xFF);
        if (steps >> 16) break;
        k += (steps >> 8) & 0xFF;
        continue;
      }
      int length = 0;
      const int symbol = decode_symbol(bits, ac, &length);
      if (symbol < 0) return false;
      const int run = symbol >> 4, extra = symbol & 15;
      bits.skip(length + extra);
      if (extra) {
        k += run + 1;
      } else if (run == 15) {
        k += 16;
      } else {
        break;  // end of block
      }
    }
    return true;
  }

  // The picture's units: the largest sampling factors; false for a layout not read here.
  bool unit_layout(int count, std::array<Component*, 3>& order, int* h_max, int* v_max) {
    int blocks_per_mcu = 0;
    *h_max = *v_max = 1;
    for (const Component& c : components_) {
      *h_max = std::max(*h_max, c.h);
      *v_max = std::max(*v_max, c.v);
      blocks_per_mcu += c.h * c.v;
    }
    if (count == 1) {
      order[0]->h = order[0]->v = 1;  // a single-component scan has one block per unit
      *h_max = *v_max = 1;
      return true;
    }
    return blocks_per_mcu <= 10 && components_[0].h == *h_max && components_[0].v == *v_max;
  }

  cv::Mat scan(const std::uint8_t* b, std::size_t n, const std::uint8_t* data) {
    if (!frame_seen_ || n < 1) return {};
    const int count = b[0];
    if (count != static_cast<int>(components_.size()) || n < 4 + 2 * static_cast<std::size_t>(count)) return {};
    std::array<Component*, 3> order{};
    if (!bind_components(b, count, order)) return {};
    const std::uint8_t* s = b + 1 + 2 * count;
    if (s[0] != 0 || s[1] != 63 || s[2] != 0) return {};  // a sequential scan of every coefficient
    int h_max = 1, v_max = 1;
    if (!unit_layout(count, order, &h_max, &v_max)) return {};

    const Component& luma = components_[0];
    const int out_w = (width_ + 7) / 8, out_h = (height_ + 7) / 8;
    const int mcus_x = (width_ + 8 * h_max - 1) / (8 * h_max);
    const int mcus_y = (height_ + 8 * v_max - 1) / (8 * v_max);
    const int quant = dc_quant_[luma.quant];
    cv::Mat out(out_h, out_w, CV_8UC1);

    BitReader bits(data, end_);
    int restarts = 0, left_in_interval = restart_interval_;
    for (int my = 0; my < mcus_y; ++my) {
      for (int mx = 0; mx < mcus_x; ++mx) {
        if (restart_interval_ > 0) {
          if (left_in_interval == 0) {
            if (!bits.restart(restarts++)) return {};
            for (Component& c : components_) c.predictor = 0;
            left_in_interval = restart_interval_;
          }
          --left_in_interval;
        }
        for (int ci = 0; ci < count; ++ci) {
          Component& c = *order[ci];
          for (int by = 0; by < c.v; ++by) {
            for (int bx = 0; bx < c.h; ++bx) {
              int diff = 0;
              if (!read_dc(bits, dc_[c.dc_table], &diff)) return {};
              // As libjpeg: the sum wraps rather than overflows, and the coefficient is 16-bit.
              c.predictor = static_cast<int>(static_cast<unsigned>(c.predictor) + static_cast<unsigned>(diff));
              const int x = mx * c.h + bx, y = my * c.v + by;
              if (&c == &luma && x < out_w && y < out_h) {
                const int dequantized = static_cast<std::int16_t>(c.predictor) * quant;
                out.ptr<std::uint8_t>(y)[x] = range_limit((dequantized + 4) >> 3);
              }
              if (!skip_ac(bits, ac_[c.ac_table])) return {};
            }
          }
        }
      }
    }
    if (!bits.intact()) return {};
    return saw_exif_ ? upright(out, orientation_) : out;
  }

  const std::uint8_t* data_;
  const std::uint8_t* end_;
  bool frame_seen_ = false, jfif_ = false, saw_exif_ = false;
  int adobe_transform_ = -1, orientation_ = 1;
  int width_ = 0, height_ = 0, restart_interval_ = 0;
  std::vector<Component> components_;
  std::array<HuffmanTable, 4> dc_{}, ac_{};
  std::array<int, 4> dc_quant_{-1, -1, -1, -1};
};

}  // namespace

cv::Mat jpeg_eighth_grey(const unsigned char* data, std::size_t size) { return Reader(data, size).read(); }

}  // namespace quorlan
