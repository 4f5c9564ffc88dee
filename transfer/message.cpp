// The layout of the outgoing message, in the order its bytes go out: header block, blank
// line, (multipart) head of the text part, body, attachment parts, closing boundary.
// Text is ISO-2022-JP (RFC 1468); every line that begins with "." is sent with a second
// "." so that the server cannot take it for the end of the data (RFC 5321 4.5.2).
#include "transfer/message.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "app/console.h"
#include "app/errors.h"
#include "app/run_state.h"
#include "codec/jis_convert.h"
#include "codec/utf8.h"
#include "transfer/connection.h"

namespace {

const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Progress lines of the information mode.
// "#//mail header sent  (%ld.%ldsec)...."
constexpr const char* kProgressHeaderSent =
    "#//\x83\x81\x81\x5b\x83\x8b\x83\x77\x83\x62\x83\x5f\x81\x5b\x91\x97\x90\x4d\x8a\xae\x97\xb9"
    "\x81\x40\x81\x40(%ld.%ldsec)....\n";
// "#//sending mail body     ...."
constexpr const char* kProgressBodySending =
    "#//\x83\x81\x81\x5b\x83\x8b\x96\x7b\x95\xb6\x91\x97\x90\x4d\x92\x86"
    "\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40....\n";
// "#//mail body sent    (%ld.%ldsec)...."
constexpr const char* kProgressBodySent =
    "#//\x83\x81\x81\x5b\x83\x8b\x96\x7b\x95\xb6\x91\x97\x90\x4d\x8a\xae\x97\xb9"
    "\x81\x40\x81\x40\x81\x40\x81\x40(%ld.%ldsec)....\n";
// "#//mail attachment (i/N) sending ...."
constexpr const char* kProgressAttachmentSending =
    "#//\x83\x81\x81\x5b\x83\x8b\x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b(%-3d/%-3d)"
    "\x91\x97\x90\x4d\x92\x86\x81\x40....\n";
// "#//mail attachments sent(%ld.%ldsec)...."
constexpr const char* kProgressAttachmentsSent =
    "#//\x83\x81\x81\x5b\x83\x8b\x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b"
    "\x91\x97\x90\x4d\x8a\xae\x97\xb9(%ld.%ldsec)....\n";

// Files are read in blocks of this size; outside debug mode an attachment's work file
// goes to the connection block by block.
constexpr std::size_t kFileBlock = 256 * 1024;
// In debug mode a work file is sent in pieces of at most this many bytes, each ending at
// a line feed or at the end of the file, each echoed as it is sent.
constexpr std::size_t kDebugPiece = 16383;

// Prints a progress line carrying the time since start_tick as seconds and milliseconds.
void print_progress_elapsed(const char* format) {
  if (!g_run.info_mode) return;
  uint32_t elapsed = platform::tick_count() - g_run.start_tick;
  console_printf(format, static_cast<long>(elapsed / 1000), static_cast<long>(elapsed % 1000));
}

// Doubles the "." at the start of every line of text.
std::string stuff_leading_dots(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  bool line_start = true;
  for (char c : text) {
    if (line_start && c == '.') out.push_back('.');
    out.push_back(c);
    line_start = c == '\n';
  }
  return out;
}

// Ends the run after sending what was gathered, so the server has seen every byte that
// went out before the failure.
[[noreturn]] void fail_after_flush(Connection* connection, int code) {
  flush_output(connection);  // the run ends anyway; a failed flush changes nothing
  error_exit(code);
}

}  // namespace

void add_field_address(std::string* field, const std::string& address, bool followed_by_comma) {
  *field += " ";
  *field += address;
  *field += followed_by_comma ? ",\r\n" : "\r\n";
}

namespace {

void drop_final_comma(std::string* field) {
  std::size_t n = field->size();
  if (n >= 3 && (*field)[n - 3] == ',') field->erase(n - 3, 1);
}

}  // namespace

void finish_address_fields(AddressFields* fields) {
  if (fields->to_text == "To:") {
    fields->to_text += "\r\n";
  } else {
    drop_final_comma(&fields->to_text);
  }
  if (fields->cc_text == "Cc:") {
    fields->cc_text.clear();
  } else {
    drop_final_comma(&fields->cc_text);
  }
}

std::string format_date_field(const std::tm& local, long seconds_west, bool tz_adjust) {
  long absolute = std::labs(seconds_west);
  long hours = absolute / 3600;
  long minutes = absolute / 60 - 60 * hours;
  const char* sign = "";
  if (seconds_west > 0) sign = tz_adjust ? "+" : "-";
  if (seconds_west < 0) sign = tz_adjust ? "-" : "+";
  if (tz_adjust) hours += 1;
  int weekday = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
  int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  char text[128];
  std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %s%02ld%02ld\r\n",
                kWeekdays[weekday], local.tm_mday, kMonths[month], local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, sign, hours, minutes);
  return text;
}

std::string build_header_block(const HeaderInputs& in) {
  std::string block;
  if (!in.display_name.empty()) {
    block += "From: " + in.display_name + " " + in.sender_address + "\r\n";
  } else {
    block += "From: " + in.sender_address + "\r\n";
  }
  block += in.fields.to_text;
  std::string subject = in.subject;
  encode_header_word(subject);
  block += "Subject: " + subject + "\r\n";
  block += in.fields.cc_text;
  block += std::string("X-Mailer: ") + kProgramTitle + " " + kVersion + "\r\n";
  if (in.priority >= 1 && in.priority <= 4) block += "Importance: high\r\n";
  if (in.priority >= 5) block += "Importance: low\r\n";
  block += "Mime-Version: 1.0\r\n";
  if (in.multipart) {
    block += "Content-Type: multipart/mixed; boundary=\"" + in.boundary + "\"\r\n";
  } else {
    block += "Content-Type: text/plain; charset=ISO-2022-JP\r\n";
  }
  if (in.priority > 0) block += "X-Priority:" + std::to_string(in.priority) + "\r\n";
  block += "Content-Transfer-Encoding: 7bit\r\n";
  block += in.date_field;
  return block;
}

std::string inline_body_for_wire(const std::string& body_text) {
  std::string text;
  text.reserve(body_text.size() + 16);
  const std::size_t n = body_text.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(body_text[i]);
    unsigned char next = i + 1 < n ? static_cast<unsigned char>(body_text[i + 1]) : 0;
    if (is_sjis_lead(c) && is_sjis_trail(next)) {
      // A double-byte character: its second byte may be a backslash that is no escape.
      text.push_back(body_text[i]);
      text.push_back(body_text[++i]);
    } else if ((c == '\\' && next == 'n') || (c == '\r' && next == '\n')) {
      text += "\r\n";
      ++i;
    } else if (c == '\r' || c == '\n') {
      text += "\r\n";
    } else {
      text.push_back(body_text[i]);
    }
  }
  convert_sjis_to_jis(text);
  return stuff_leading_dots(text);
}

namespace {

// Moves converted bytes to the wire: the line end and every CR without its LF become
// CR LF, and a "." that begins a line gets a second one. Runs of other bytes go in bulk.
void put_converted(BodyLine* line, std::string* wire) {
  const std::string& text = line->converted;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (line->after_cr) {
      // A CR from the line itself (the line end's own CR was taken off before the
      // converter) is a line break of its own, also when the line end follows it.
      wire->push_back('\n');
      line->after_cr = false;
      line->line_start = true;
    }
    if (c == '\n') {
      *wire += "\r\n";
      line->line_start = true;
      ++i;
      continue;
    }
    if (line->line_start && c == '.') wire->push_back('.');
    line->line_start = false;
    std::size_t j = i;
    while (j < n && text[j] != '\r' && text[j] != '\n') ++j;
    if (j < n && text[j] == '\r') {
      ++j;
      line->after_cr = true;
    }
    wire->append(text, i, j - i);
    i = j;
  }
  line->converted.clear();
}

void convert_into(BodyLine* line, const char* data, std::size_t n) {
  jis_stream_feed(&line->jis, data, n, &line->converted);
}

}  // namespace

void body_piece_for_wire(BodyLine* line, const char* data, std::size_t n, std::string* wire) {
  if (n == 0) return;
  line->taken = true;
  // A CR at the end of a piece waits: when the LF comes next it is part of the line end,
  // which goes to the converter as a bare LF, so that a file with CR LF line ends goes
  // out exactly like one with LF (the converter's binary test counts the line's bytes).
  if (line->held_cr) {
    convert_into(line, "\r", 1);
    line->held_cr = false;
  }
  if (data[n - 1] == '\r') {
    line->held_cr = true;
    --n;
  }
  convert_into(line, data, n);
  put_converted(line, wire);
}

void body_line_end_for_wire(BodyLine* line, bool had_line_end, std::string* wire) {
  if (had_line_end) {
    line->held_cr = false;
    // The converter closes kanji and katakana before this LF, so a closing SI or
    // ESC ( J stays in front of the CR LF, and so does any other control byte.
    convert_into(line, "\n", 1);
  } else if (line->held_cr) {
    convert_into(line, "\r", 1);
    line->held_cr = false;
  }
  jis_stream_end(&line->jis, &line->converted);
  put_converted(line, wire);
  if (!had_line_end) {
    if (!line->after_cr) wire->push_back('\r');
    wire->push_back('\n');
    line->after_cr = false;
  }
}

void reset_body_line(BodyLine* line) {
  // The buffers keep their capacity, so a file of short lines allocates once.
  std::string held = std::move(line->jis.held);
  std::string converted = std::move(line->converted);
  held.clear();
  converted.clear();
  *line = BodyLine();
  line->jis.held = std::move(held);
  line->converted = std::move(converted);
}

std::string body_line_for_wire(const std::string& text) {
  BodyLine line;
  std::string wire;
  const bool has_line_end = !text.empty() && text.back() == '\n';
  body_piece_for_wire(&line, text.data(), text.size() - (has_line_end ? 1 : 0), &wire);
  body_line_end_for_wire(&line, has_line_end, &wire);
  return wire;
}

void send_message_head(Connection* connection, const std::string& header_block) {
  send_text(connection, header_block);
  send_text(connection, "\r\n");
  if (g_run.attachments_present) {
    send_text(connection, "--");
    send_text(connection, g_run.boundary);
    send_text(connection, "\r\n");
    send_text(connection, "Content-Type: text/plain; charset=ISO-2022-JP\r\n");
    send_text(connection, "\r\n");
  }
  print_progress_elapsed(kProgressHeaderSent);
}

namespace {

// True when the body file is UTF-8 rather than Shift_JIS: it begins with the byte-order
// mark (*bom), or its whole content is well-formed UTF-8 and not plain ASCII. It is read
// once in blocks to tell, then put back to its start. A file that cannot be put back (a
// pipe) is taken as Shift_JIS, as none of its bytes may be lost.
bool body_is_utf8(std::FILE* file, std::vector<char>* block, bool* bom) {
  *bom = false;
  if (std::fseek(file, 0, SEEK_CUR) != 0) return false;
  Utf8Scan scan;
  bool first = true;
  std::size_t count;
  while ((count = std::fread(block->data(), 1, block->size(), file)) > 0) {
    if (first && count >= 3 && std::memcmp(block->data(), kUtf8Bom, 3) == 0) {
      *bom = true;
      break;
    }
    first = false;
    utf8_scan(&scan, block->data(), count);
    if (!scan.well_formed) break;
  }
  const bool read_whole = !std::ferror(file);
  std::clearerr(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  if (*bom) return true;
  return read_whole && utf8_scan_well_formed(scan) && scan.non_ascii;
}

// Sends the body file line by line. The file is read as bytes in fixed blocks and split
// at LF here, so no runtime's text mode can change a byte; a line longer than a block
// goes to the converter and the connection piece by piece, so memory stays flat. Each
// normal line goes out in one send (one "Send:" echo in debug mode). A UTF-8 file is
// brought to code page 932 block by block first; LF is never part of a double-byte
// character, so the lines are split in the converted text just the same.
void send_body_file(Connection* connection) {
  if (g_run.info_mode) console_printf("%s", kProgressBodySending);
  // A regular file only: what was checked when -F was read may have been replaced since.
  std::FILE* file = platform::open_for_reading(g_run.body_file);
  if (file == nullptr) fail_after_flush(connection, kErrBodyFile);
  std::vector<char> block(kFileBlock);
  // A UTF-8 file becomes code page 932 block by block before the usual conversion.
  Utf8Stream utf8;
  const bool is_utf8_file = body_is_utf8(file, &block, &utf8.drop_bom);
  BodyLine line;
  std::string wire;
  // Takes the next bytes of the body: each completed line goes out whole.
  auto take = [&](const char* data, std::size_t n) {
    std::size_t start = 0;
    while (start < n) {
      const char* from = data + start;
      const void* lf = std::memchr(from, '\n', n - start);
      std::size_t end =
          lf == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
      body_piece_for_wire(&line, from, end - start, &wire);
      if (lf == nullptr) break;
      body_line_end_for_wire(&line, true, &wire);
      send_text(connection, wire);
      wire.clear();
      reset_body_line(&line);
      start = end + 1;
    }
    if (wire.size() >= kFileBlock) {
      send_text(connection, wire);
      wire.clear();
    }
  };
  std::string converted;
  std::size_t count;
  while ((count = std::fread(block.data(), 1, block.size(), file)) > 0) {
    if (!is_utf8_file) {
      take(block.data(), count);
      continue;
    }
    converted.assign(block.data(), count);
    utf8_stream_convert(&utf8, &converted);
    take(converted.data(), converted.size());
  }
  // A file that stops being readable part-way would silently cut the body short.
  if (std::ferror(file)) fail_after_flush(connection, kErrBodyFile);
  if (is_utf8_file) {
    // A sequence the file cuts off at its end is not lost: it becomes geta marks.
    converted = utf8_stream_finish(&utf8);
    take(converted.data(), converted.size());
  }
  if (line.taken) {
    body_line_end_for_wire(&line, false, &wire);
    send_text(connection, wire);
  }
  std::fclose(file);
  if (g_run.debug_mode) console_report_replaced(utf8.replaced, "the body file");
  print_progress_elapsed(kProgressBodySent);
}

// Copies a work file (its transfer-encoding line, blank line and Base64 lines) into the
// connection unchanged. In debug mode it goes in echoed pieces ending at line feeds;
// otherwise straight from the file to the socket on a plain connection, and in large
// blocks (large TLS records) on an encrypted one. The bytes on the wire are the same.
void send_work_file(Connection* connection, std::FILE* file) {
  if (!g_run.debug_mode && connection->tls == nullptr) {
    // Nothing to echo: what was gathered goes first, then the system copies the work
    // file to the connection itself, with no pass through this program's buffers.
    if (!flush_output(connection)) fail_send();
    platform::SendFileStatus status =
        platform::send_file(connection->socket, file, kSendTimeoutMs);
    if (status == platform::SendFileStatus::kSendFailed) fail_send();
    // A work file that stops being readable part-way would cut the attachment short.
    if (status == platform::SendFileStatus::kReadFailed) error_exit(kErrBodyFile);
    return;
  }
  std::vector<char> block(kFileBlock);
  std::size_t count;
  std::string piece;
  while ((count = std::fread(block.data(), 1, block.size(), file)) > 0) {
    if (!g_run.debug_mode) {
      send_bytes(connection, block.data(), count);
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) {
      piece.push_back(block[i]);
      if (block[i] == '\n' || piece.size() == kDebugPiece) {
        send_text(connection, piece);
        piece.clear();
      }
    }
  }
  if (!piece.empty()) send_text(connection, piece);
  // A work file that stops being readable part-way would cut the attachment short.
  if (std::ferror(file)) fail_after_flush(connection, kErrBodyFile);
}

}  // namespace

void send_body(Connection* connection) {
  if (g_run.body_text_given) {
    send_text(connection, inline_body_for_wire(g_run.body_text));
  } else if (!g_run.body_file.empty()) {
    send_body_file(connection);
  }
}

void send_attachment_parts(Connection* connection) {
  const std::vector<std::string>& work_files = g_run.work_file_list;
  const int total = static_cast<int>(work_files.size());
  send_text(connection, "\r\n");
  for (int i = 0; i < total; ++i) {
    const std::string name = static_cast<std::size_t>(i) < g_run.attachment_name_list.size()
                                 ? g_run.attachment_name_list[i]
                                 : std::string();
    if (g_run.info_mode) console_printf(kProgressAttachmentSending, i + 1, total);
    send_text(connection, "--");
    send_text(connection, g_run.boundary);
    send_text(connection, "\r\n");
    send_text(connection, "Content-Type: application/octet-stream;");
    send_text(connection, " name=\"");
    send_text(connection, name);
    send_text(connection, "\"\r\n");
    send_text(connection, "Content-Disposition: attachment;\r\n");
    send_text(connection, " filename=\"");
    send_text(connection, name);
    send_text(connection, "\"\r\n");
    std::FILE* file = platform::open_for_reading(work_files[i]);
    if (file == nullptr) {
      console_printf("not found %s\r\n", work_files[i].c_str());
      fail_after_flush(connection, kErrBodyFile);
    }
    send_work_file(connection, file);
    std::fclose(file);
    send_text(connection, "\r\n");
  }
  send_text(connection, "--");
  send_text(connection, g_run.boundary);
  send_text(connection, "--");
  send_text(connection, "\r\n");
  print_progress_elapsed(kProgressAttachmentsSent);
}
