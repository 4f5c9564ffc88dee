// The layout of the outgoing message, in the order its bytes go out: header block, blank
// line, (multipart) head of the text part, body, attachment parts, closing boundary.
// Text is ISO-2022-JP (RFC 1468); every line that begins with "." is sent with a second
// "." so that the server cannot take it for the end of the data (RFC 5321 4.5.2).
#include "transfer/message.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
[[noreturn]] void fail_after_flush(platform::Socket socket, int code) {
  flush_output(socket);  // the run ends anyway; a failed flush changes nothing
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

std::string body_line_for_wire(std::string line) {
  // The line is converted with a bare LF as its end, as a text-mode read gives it, so a
  // file with CR LF line ends goes out exactly like one with LF: the converter's test for
  // binary-looking text counts the line's length, and a CR would shift it.
  const bool has_line_end = !line.empty() && line.back() == '\n';
  if (has_line_end) {
    line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.push_back('\n');
  }
  convert_sjis_to_jis(line);
  // Only the line end goes: the converter closes kanji and katakana before it, so a
  // closing SI or ESC ( J stays in front of the CR LF, and so does any other control byte.
  if (has_line_end && !line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line[0] == '.') line.insert(line.begin(), '.');
  line += "\r\n";
  return line;
}

void send_message_head(platform::Socket socket, const std::string& header_block) {
  send_text(socket, header_block);
  send_text(socket, "\r\n");
  if (g_run.attachments_present) {
    send_text(socket, "--");
    send_text(socket, g_run.boundary);
    send_text(socket, "\r\n");
    send_text(socket, "Content-Type: text/plain; charset=ISO-2022-JP\r\n");
    send_text(socket, "\r\n");
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

// Sends the body file line by line. The file is read as bytes and split at LF here, so
// no runtime's text mode can change a byte, and a line of any length goes out whole.
void send_body_file(platform::Socket socket) {
  if (g_run.info_mode) console_printf("%s", kProgressBodySending);
  std::FILE* file = std::fopen(g_run.body_file.c_str(), "rb");
  if (file == nullptr) fail_after_flush(socket, kErrBodyFile);
  std::vector<char> block(kFileBlock);
  // A UTF-8 file becomes code page 932 piece by piece before the usual conversion.
  Utf8Stream utf8;
  const bool is_utf8_file = body_is_utf8(file, &block, &utf8.drop_bom);
  std::string line;
  std::size_t count;
  while ((count = std::fread(block.data(), 1, block.size(), file)) > 0) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (block[i] != '\n') continue;
      line.append(block.data() + start, i + 1 - start);
      if (is_utf8_file) utf8_stream_convert(&utf8, &line);
      send_text(socket, body_line_for_wire(line));
      line.clear();
      start = i + 1;
    }
    line.append(block.data() + start, count - start);
  }
  // A file that stops being readable part-way would silently cut the body short.
  if (std::ferror(file)) fail_after_flush(socket, kErrBodyFile);
  if (is_utf8_file && !line.empty()) {
    utf8_stream_convert(&utf8, &line);
    line += utf8_stream_finish(&utf8);
  }
  if (!line.empty()) send_text(socket, body_line_for_wire(line));
  std::fclose(file);
  if (g_run.debug_mode) console_report_replaced(utf8.replaced, "the body file");
  print_progress_elapsed(kProgressBodySent);
}

// Copies a work file (its transfer-encoding line, blank line and Base64 lines) into the
// connection unchanged. In debug mode it goes in echoed pieces ending at line feeds;
// otherwise in large blocks without echo. The bytes on the wire are the same.
void send_work_file(platform::Socket socket, std::FILE* file) {
  std::vector<char> block(kFileBlock);
  std::size_t count;
  std::string piece;
  while ((count = std::fread(block.data(), 1, block.size(), file)) > 0) {
    if (!g_run.debug_mode) {
      send_bytes(socket, block.data(), count);
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) {
      piece.push_back(block[i]);
      if (block[i] == '\n' || piece.size() == kDebugPiece) {
        send_text(socket, piece);
        piece.clear();
      }
    }
  }
  if (!piece.empty()) send_text(socket, piece);
  // A work file that stops being readable part-way would cut the attachment short.
  if (std::ferror(file)) fail_after_flush(socket, kErrBodyFile);
}

}  // namespace

void send_body(platform::Socket socket) {
  if (g_run.body_text_given) {
    send_text(socket, inline_body_for_wire(g_run.body_text));
  } else if (!g_run.body_file.empty()) {
    send_body_file(socket);
  }
}

void send_attachment_parts(platform::Socket socket) {
  const std::vector<std::string>& work_files = g_run.work_file_list;
  const int total = static_cast<int>(work_files.size());
  send_text(socket, "\r\n");
  for (int i = 0; i < total; ++i) {
    const std::string name = static_cast<std::size_t>(i) < g_run.attachment_name_list.size()
                                 ? g_run.attachment_name_list[i]
                                 : std::string();
    if (g_run.info_mode) console_printf(kProgressAttachmentSending, i + 1, total);
    send_text(socket, "--");
    send_text(socket, g_run.boundary);
    send_text(socket, "\r\n");
    send_text(socket, "Content-Type: application/octet-stream;");
    send_text(socket, " name=\"");
    send_text(socket, name);
    send_text(socket, "\"\r\n");
    send_text(socket, "Content-Disposition: attachment;\r\n");
    send_text(socket, " filename=\"");
    send_text(socket, name);
    send_text(socket, "\"\r\n");
    std::FILE* file = platform::open_for_reading(work_files[i]);
    if (file == nullptr) {
      console_printf("not found %s\r\n", work_files[i].c_str());
      fail_after_flush(socket, kErrBodyFile);
    }
    send_work_file(socket, file);
    std::fclose(file);
    send_text(socket, "\r\n");
  }
  send_text(socket, "--");
  send_text(socket, g_run.boundary);
  send_text(socket, "--");
  send_text(socket, "\r\n");
  print_progress_elapsed(kProgressAttachmentsSent);
}
