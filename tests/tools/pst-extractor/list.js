// Lists a PST file through pst-extractor: one line per folder ("folder <path> <messages>
// <attachments> <attachment bytes>"), then the totals ("messages N", "recipients N",
// "attachments N", "embedded N"). Attachments are read to the end and attached messages
// are walked, so a tree the reader cannot follow shows here. (pst-extractor 1.12 gives no
// attached message, also for Outlook's own files, so "embedded" stays 0 there; and it
// reads the whole recipient table for each getRecipient, so only the first is taken.)
'use strict';
const { PSTFile } = require('pst-extractor');

const totals = { messages: 0, recipients: 0, attachments: 0, embedded: 0 };

function readAttachment(att) {
  const stream = att.fileInputStream;
  if (!stream) return 0;
  const buffer = Buffer.alloc(64 * 1024);
  let size = 0;
  for (;;) {
    const n = stream.read(buffer);
    if (n <= 0) break;
    size += n;
  }
  return size;
}

// Attachments and recipients of one message; attached messages in turn.
function walkMessage(message, depth, folderCounts) {
  totals.recipients += message.numberOfRecipients;
  if (message.numberOfRecipients > 0) message.getRecipient(0);
  for (let i = 0; i < message.numberOfAttachments; i++) {
    const att = message.getAttachment(i);
    if (att.embeddedPSTMessage) {
      totals.embedded++;
      if (depth < 16) walkMessage(att.embeddedPSTMessage, depth + 1, folderCounts);
      continue;
    }
    totals.attachments++;
    folderCounts.attachments++;
    folderCounts.bytes += readAttachment(att);
  }
}

function walkFolder(folder, path) {
  const counts = { messages: 0, attachments: 0, bytes: 0 };
  if (folder.contentCount > 0) {
    for (let m = folder.getNextChild(); m; m = folder.getNextChild()) {
      counts.messages++;
      walkMessage(m, 0, counts);
    }
  }
  totals.messages += counts.messages;
  console.log(`folder ${JSON.stringify(path)} ${counts.messages} ${counts.attachments} ${counts.bytes}`);
  if (folder.hasSubfolders) {
    for (const child of folder.getSubFolders()) walkFolder(child, `${path}/${child.displayName}`);
  }
}

const file = new PSTFile(process.argv[2]);
walkFolder(file.getRootFolder(), '');
for (const [k, v] of Object.entries(totals)) console.log(`${k} ${v}`);
