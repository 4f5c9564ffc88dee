// The layout of the outgoing message (RFC 5322 header fields, RFC 2045/2046 MIME parts,
// ISO-2022-JP text after RFC 1468): the To and Cc texts, the header block, the body from
// -T or -F, the attachment parts copied from their work files, and the -i progress lines.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "codec/jis_convert.h"
#include "platform/platform.h"
#include "transfer/connection.h"

// The To: and Cc: fields as they grow during the recipient walk: every address on a line
// of its own, continuation lines beginning with a blank, commas between the addresses.
struct AddressFields {
  std::string to_text = "To:";
  std::string cc_text = "Cc:";
};

// Appends " address,\r\n" when the recipient's element was followed by a comma, else
// " address\r\n".
void add_field_address(std::string* field, const std::string& address, bool followed_by_comma);
// Makes the fields final: the comma after the last address goes; a To: field without
// addresses stays (empty), a Cc: field without addresses disappears.
void finish_address_fields(AddressFields* fields);

// "Date: Tue, 05 Dec 2006 14:03:09 +0900\r\n" from the local time and the zone's
// standard-time offset in seconds west of UTC; with tz_adjust (-t) the sign is inverted
// and one hour added. A zero offset has no sign character.
std::string format_date_field(const std::tm& local, long seconds_west, bool tz_adjust);

// What the header block is made of.
struct HeaderInputs {
  std::string display_name;    // from the sender split, as typed
  std::string sender_address;  // from the sender split
  AddressFields fields;        // finished
  std::string subject;         // as typed; encoded here
  int32_t priority = 0;
  bool multipart = false;
  std::string boundary;
  std::string date_field;  // from format_date_field
};

// The header block in its fixed order: From, To, Subject, Cc, X-Mailer, Importance,
// Mime-Version and Content-Type, X-Priority, Content-Transfer-Encoding, Date.
std::string build_header_block(const HeaderInputs& inputs);

// The -T text as it goes on the wire: backslash-n, CR LF, a lone CR and a lone LF each
// become CR LF, the text is converted to ISO-2022-JP, and each line beginning with "."
// gets a second one. Nothing is added at its end.
std::string inline_body_for_wire(const std::string& body_text);

// One line of the body file on its way to the wire, taken in pieces of any size so that
// a line of any length goes out with bounded memory. The line is converted to
// ISO-2022-JP; its end (LF, CR LF, or none for a last line without one) and every CR
// inside it that no LF follows go out as CR LF, so no bare CR or LF reaches the wire; a
// "." at the start of a line is doubled.
struct BodyLine {
  JisStream jis;
  bool taken = false;       // some bytes of the line have come
  bool held_cr = false;     // the last byte taken is a CR that may belong to CR LF
  bool after_cr = false;    // the last byte written is a CR still waiting for its LF
  bool line_start = true;   // the next byte written begins a line on the wire
  std::string converted;    // work area of the converter
};

// Appends to *wire what the next n bytes of the line (no LF among them) give.
void body_piece_for_wire(BodyLine* line, const char* data, std::size_t n, std::string* wire);
// Ends the line, which ended in LF when had_line_end, and appends its end to *wire.
void body_line_end_for_wire(BodyLine* line, bool had_line_end, std::string* wire);

// Makes the record ready for the next line.
void reset_body_line(BodyLine* line);

// One whole line read with its line end, through the two operations above.
std::string body_line_for_wire(const std::string& line);

// Sends the header block and the blank line after it, then with attachments the head of
// the text part; prints the header progress line.
void send_message_head(Connection* connection, const std::string& header_block);
// Sends the -T text, else the lines of the -F file (error 2 when it cannot be opened),
// else nothing.
void send_body(Connection* connection);
// Sends the end of the text part, one part per work file and the closing boundary.
void send_attachment_parts(Connection* connection);
