// yank_review.h: what a yank directory holds, as one review line per
// message, for an administrator to read before putting messages back in
// the queue or removing them. Only reads: nothing in the directory is
// changed, access times included wherever the process may keep them.
//
// A yanked file is named "N.sub": N the message number as qmail writes
// it, sub the queue subdirectory it came from (mess, info, todo, intd,
// local, remote, bounce).
//
// A review line has seven fields, separated by two spaces:
//
//   number  date  size  sender  recipients  subject  state
//
//   - number: N, first, so that `awk '{print $1}'` gives numbers back;
//   - date: when it was queued, the modification time of info (else
//     todo, else intd) as qmail-qread writes it, "28 Nov 2026 02:20:21
//     GMT"; "-" without an envelope;
//   - size: the bytes of N.mess; "-" without one;
//   - sender: "<address>" from the F record of info (else todo, else
//     intd), "<>" for a bounce; "?" when that file has no F record,
//     "unreadable", or "-" without an envelope;
//   - recipients: "to: " and the first three waiting ones, each with
//     "local " or "remote " before it (from N.local and N.remote), then
//     "+K more" for the other waiting ones and "D done" for delivered
//     ones; "none waiting" when there is none; "to (still in todo): "
//     with the todo file's recipients when there is one, since qmail
//     has not yet sorted them into local and remote and will sort them
//     afresh from it ("to (still in intd): " alike, when intd is all
//     there is of the envelope); "rest past 64 KiB not counted" when a
//     file is longer than what is read of it, "local unreadable" (and
//     so on) for a file that could not be read; "to: -" without any of
//     these files;
//   - subject: the Subject header of the text, unfolded, in double
//     quotes; "no subject", or "no subject in first 64 KiB" when the
//     header part is longer; "-" without a text; "unreadable";
//   - state: "whole" (the text and an envelope: mess, and info or todo)
//     or "missing: " and what is missing (mess, envelope); then, when
//     there are any, "; unreadable: " and "; not a file: " with the
//     subdirectory names of the files so found.
//
// For example:
//
//   100  28 Nov 2026 02:20:21 GMT  27  <spam@example.biz>  to: local bob@example.org, remote dave@example.com, 1 done  "Win a prize"  whole
//   106  28 Nov 2026 02:20:21 GMT  -  <a@example.biz>  to: remote c@example.net  -  missing: mess
//
// Text from the files is never shown raw: bytes outside printable ASCII
// read \xHH, a backslash reads \\ (and in the subject a double quote
// reads \"); spaces in an address read \x20, and a run of spaces and
// tabs in the subject is one space. An address shows at most 60
// characters and a subject 80, a longer one cut with "...". At most
// 64 KiB of any file is read, and of the text only its header part.
#ifndef SPOOLSIFT_YANK_REVIEW_H
#define SPOOLSIFT_YANK_REVIEW_H

#include <string>
#include <vector>

// The numbers of the messages that have at least one entry in the yank
// directory open at dir, ascending, each once. Names that are not
// "N.sub" ("notes.txt", "0100.mess", "12.mess.orig") are passed over.
// 0, or -1 with errno set (out unchanged).
int yanked_numbers(int dir, std::vector<unsigned long> &out);

// The review line of message n (no newline) from its files in the yank
// directory open at dir. A missing, unreadable or odd file is said in
// the line. -1 with errno set only when the directory itself cannot be
// searched (line unchanged), EINVAL for n 0, or ENOMEM; else 0.
int review_line(int dir, unsigned long n, std::string &line);

#endif
