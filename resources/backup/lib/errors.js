'use strict';
// Every failure the tool reports carries a cause the console can act on and
// a sentence an administrator can read; anything else is reported as "other".

class BackupError extends Error {
  constructor(cause, message, extra = {}) {
    super(message);
    this.cause = cause;
    this.extra = extra;
  }
}

function quote(s) { return `\u201c${s}\u201d`; }

const DISK_FULL = new Set(['ENOSPC', 'EDQUOT']);
const NOT_WRITABLE = new Set(['EACCES', 'EPERM', 'EROFS']);

// A file-system error met while writing into the backup folder.
function folderError(err, folder) {
  if (err instanceof BackupError) return err;
  if (DISK_FULL.has(err.code)) {
    return new BackupError('disk-full', `The disk holding ${quote(folder)} is full; the earlier backups are untouched.`);
  }
  if (NOT_WRITABLE.has(err.code)) {
    return new BackupError('folder-not-writable', `The backup folder ${quote(folder)} cannot be written to.`);
  }
  if (err.code === 'ENOENT') {
    return new BackupError('folder-missing', `The backup folder ${quote(folder)} does not exist.`);
  }
  return new BackupError('other', `Writing into the backup folder ${quote(folder)} failed: ${err.message}.`);
}

function damaged(file, reason) {
  return new BackupError('backup-damaged', `The backup ${quote(file)} is damaged: ${reason}.`);
}

module.exports = { BackupError, quote, folderError, damaged };
