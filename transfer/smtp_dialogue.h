// The SMTP dialogue (RFC 5321): greeting, EHLO or HELO, optional AUTH, MAIL, RCPT, DATA,
// the message, end of data and QUIT.
#pragma once

// Delivers the run's one message; returns only when it was accepted.
void send_mail();
