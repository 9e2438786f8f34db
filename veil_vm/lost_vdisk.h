#pragma once

// A disk creation request whose reply never came (a time-out, a broken connection) may have been
// carried out all the same, and then its disk must not stay behind. But the disk can only be
// recognised by what the request asked for, and a disk of that name may just as well be
// another's: one made by someone else while the request was out (the name was free when it
// went), or the request's own made in another way. A disk left behind can be removed by hand;
// a disk removed by mistake cannot come back. So a disk counts as the request's only beyond
// doubt, and every other case is left to the operator.

#include "veil/curl_api.h"
#include "veil/vdisk.h"

#include <string>

// The id of the disk that the creation request for `requested` (the record as create_vdisk sent
// it, its name made free) made: the one disk on the platform of the requested name, when its
// record holds every value the request set, its id is usable and it is attached to no VM. Empty
// otherwise, after an error line that names every disk of that name. Every page of the disk list
// is read, and a requested stop does not cut the reads short: a stop's clean-up needs their
// answer too; past the stop's deadline the look-up as a whole gets one late grace. When the
// request got no reply at all (`reply_lost`), the controller may carry it out after any look-up,
// so one that finds no disk of the name proves nothing: an Error line names the requested name
// as possibly made later.
[[nodiscard]] std::string find_lost_vdisk(curlAPI& api, const vdisk& requested, bool reply_lost = false);
