"""python-can filters: matching a frame, and mapping them onto the adapter's
identifier range filters."""

from typing import List, Optional, Sequence, Tuple

from can.typechecking import CanFilters

STD_WIDTH = 0x7FF
EXT_WIDTH = 0x1FFFFFFF

Ranges = List[Tuple[int, int]]


def matches(filters: Optional[CanFilters], arbitration_id: int, extended: bool) -> bool:
    """Whether a frame passes python-can filters (None passes every frame).

    A filter matches when the identifier agrees with can_id in the bits of
    can_mask and, if the filter has "extended", the kind of identifier agrees.
    """
    if not filters:
        return True
    for f in filters:
        if "extended" in f and bool(f["extended"]) != extended:
            continue
        if (arbitration_id ^ f["can_id"]) & f["can_mask"] == 0:
            return True
    return False


def _range(can_id, can_mask, width):
    """The identifiers 0..width that match (can_id, can_mask).

    Returns (lo, hi) when they form one range, () when none match, and None
    when they do not form a range.
    """
    # Identifiers have no bits above width: a mask bit there matches only a 0.
    if can_id & can_mask & ~width:
        return ()
    mask = can_mask & width
    free = width & ~mask
    if free & (free + 1):
        return None
    lo = can_id & mask
    return (lo, lo | free)


def _merge(ranges):
    merged = []
    for lo, hi in sorted(ranges):
        if merged and lo <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(hi, merged[-1][1]))
        else:
            merged.append((lo, hi))
    return merged


def _ranges_for(filters, extended, width, capacity):
    """Hardware ranges for one kind of identifier; [] lets every one pass."""
    ranges = []
    for f in filters:
        if "extended" in f and bool(f["extended"]) != extended:
            continue
        r = _range(f["can_id"], f["can_mask"], width)
        if r is None:
            return []
        if r:
            ranges.append(r)
    ranges = _merge(ranges)
    # The adapter cannot reject every identifier of a kind, and has room for
    # capacity ranges: otherwise it lets all pass and software filters them.
    if len(ranges) > capacity or ranges == [(0, width)]:
        return []
    return ranges


def hardware_ranges(filters: Optional[Sequence[dict]], std_capacity: int,
                    ext_capacity: int) -> Tuple[Ranges, Ranges]:
    """(standard ranges, extended ranges) for the adapter's filter lists.

    An empty list passes every identifier of its kind. The result never
    rejects a frame that a filter accepts; what it lets through beyond that
    is removed by python-can's software filtering.
    """
    if not filters:
        return ([], [])
    return (
        _ranges_for(filters, False, STD_WIDTH, std_capacity),
        _ranges_for(filters, True, EXT_WIDTH, ext_capacity),
    )
