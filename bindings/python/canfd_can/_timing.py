"""A port's settings from a bus's arguments: bit rates and sample points
given as numbers or as a python-can bit timing, each taken exactly as the
adapter takes it (bit/s and 0.01 % steps) or refused with the reason; and
no settings at all for a bus that only listens."""

import dataclasses
from fractions import Fraction
from typing import Any, Optional, Tuple, Union

# Operating-mode words sent with the enable flag.
BUS_MODE_NORMAL = 0
ISO_MODE_ISO = 1
ISO_MODE_NON_ISO = 0

DEFAULT_SAMPLE_POINT = 80.0
MAX_BITRATE = 0xFFFFFFFF
# Sample points go to the adapter in 0.01 % steps.
SAMPLE_POINT_STEPS = 100


@dataclasses.dataclass(frozen=True)
class PortConfig:
    bitrate: int
    data_bitrate: int
    sample_point: int  # 0.01 % units
    data_sample_point: int
    bus_mode: int
    iso_mode: int


def flag(value: Any) -> bool:
    """A boolean option, also as text from a configuration file."""
    if isinstance(value, str):
        return value.strip().lower() in ("1", "true", "yes", "on")
    return bool(value)


def _exact(value: Union[int, float, str, Fraction], name: str, kind: str) -> Fraction:
    """A number given as a number or as text, exactly."""
    try:
        return Fraction(str(value).strip()) if isinstance(value, str) else Fraction(value)
    except (ValueError, TypeError):
        raise ValueError(f"{name} {value!r} is not {kind}") from None


def _whole_bitrate(value: Union[int, float, str, Fraction], name: str) -> int:
    exact = _exact(value, name, "a number of bits per second")
    if exact.denominator != 1:
        raise ValueError(f"{name} {float(exact):.3f} bit/s: the adapter takes whole bits per "
                         "second")
    if not 0 < exact <= MAX_BITRATE:
        raise ValueError(f"{name} {exact} bit/s is out of range")
    return int(exact)


def _sample_point_units(value: Union[int, float, str, Fraction], name: str) -> int:
    exact = _exact(value, name, "a percentage")
    units = exact * SAMPLE_POINT_STEPS
    if not 0 < units <= 100 * SAMPLE_POINT_STEPS:
        raise ValueError(f"{name} {float(exact):g} is not a percentage in (0, 100]")
    # A float such as 87.5 or 62.5 is exact; 0.1 steps given as floats are
    # within rounding of a whole number of units.
    whole = round(units)
    if abs(units - whole) > Fraction(1, 10**6):
        raise ValueError(f"{name} {float(exact):.6g} %: the adapter takes sample points in "
                         "steps of 0.01 %")
    return whole


def _field(timing: Any, name: str) -> Optional[Any]:
    """A field of a python-can bit timing; None where it is not given (the
    timing of python-can 4.1 raises ValueError for those)."""
    try:
        return getattr(timing, name)
    except (ValueError, AttributeError):
        return None


def _phase(timing: Any, prefix: str, what: str) -> Tuple[int, int]:
    """(bit/s, sample point in 0.01 %) of one phase of a bit timing, from its
    segments and clock; refused when the adapter cannot take it exactly."""
    tseg1, tseg2 = _field(timing, prefix + "tseg1"), _field(timing, prefix + "tseg2")
    if not tseg1 or not tseg2:
        raise ValueError(f"{what}: {prefix}tseg1 and {prefix}tseg2 are needed (they give the "
                         "sample point)")
    quanta = 1 + tseg1 + tseg2
    samples = _field(timing, "nof_samples")
    if samples not in (None, 1):
        raise ValueError(f"{what}: nof_samples {samples}: the adapter samples each bit once")
    f_clock, brp = _field(timing, "f_clock"), _field(timing, prefix + "brp")
    declared = _field(timing, "bitrate" if not prefix else f"{prefix}bitrate")
    if f_clock and brp:
        exact = Fraction(f_clock, brp * quanta)
        if exact.denominator != 1:
            raise ValueError(
                f"{what}: f_clock {f_clock} Hz / ({prefix}brp {brp} x {quanta} quanta) = "
                f"{float(exact):.3f} bit/s: the adapter takes whole bits per second")
        if declared and Fraction(declared) != exact:
            raise ValueError(f"{what}: bitrate {declared} does not match f_clock {f_clock} Hz, "
                             f"{prefix}brp {brp} and {quanta} quanta ({exact} bit/s)")
        bitrate = int(exact)
    elif declared:
        bitrate = _whole_bitrate(declared, f"{what}: bitrate")
    else:
        raise ValueError(f"{what}: give f_clock and {prefix}brp, or the bit rate")
    sample_point = Fraction(100 * (1 + tseg1), quanta)
    units = sample_point * SAMPLE_POINT_STEPS
    if units.denominator != 1:
        raise ValueError(f"{what}: sample point (1 + {prefix}tseg1 {tseg1}) / {quanta} quanta = "
                         f"{float(sample_point):.4f} %: the adapter takes sample points in "
                         "steps of 0.01 %")
    return _whole_bitrate(bitrate, f"{what}: bitrate"), int(units)


def is_fd_timing(timing: Any) -> bool:
    """Whether timing has a data phase (python-can's BitTimingFd)."""
    return _field(timing, "data_tseg1") is not None


def port_config(bitrate, data_bitrate, fd: bool, sample_point, data_sample_point, timing,
                bus_mode, fd_non_iso) -> Optional[PortConfig]:
    """The settings a bus gives its port, or None when it gives none (no bit
    rate and no timing: the bus only listens). ValueError for settings the
    adapter cannot take exactly, and for settings without a bit rate."""
    given = {"data_bitrate": data_bitrate, "sample_point": sample_point,
             "data_sample_point": data_sample_point, "bus_mode": bus_mode,
             "fd_non_iso": fd_non_iso}
    if timing is not None:
        taken = {"bitrate": bitrate, "sample_point": sample_point}
        if is_fd_timing(timing):
            taken.update(data_bitrate=data_bitrate, data_sample_point=data_sample_point)
        clashing = [name for name, value in taken.items() if value is not None]
        if clashing:
            raise ValueError(f"timing gives the bit rates and sample points: leave out "
                             f"{', '.join(clashing)}")
        nominal = _phase(timing, "nom_" if is_fd_timing(timing) else "", "timing")
        if is_fd_timing(timing):
            data = _phase(timing, "data_", "timing (data phase)")
        elif fd:
            data = (_whole_bitrate(data_bitrate, "data_bitrate") if data_bitrate is not None
                    else nominal[0],
                    _sample_point_units(DEFAULT_SAMPLE_POINT if data_sample_point is None
                                        else data_sample_point, "data_sample_point"))
        else:
            data = nominal
    elif bitrate is None:
        settings = [name for name, value in given.items() if value is not None]
        if settings:
            raise ValueError(f"{', '.join(settings)} without bitrate: give bitrate (or timing) "
                             "to set the port; a bus without them only listens and changes "
                             "none of the port's settings")
        return None
    else:
        nominal = (_whole_bitrate(bitrate, "bitrate"),
                   _sample_point_units(DEFAULT_SAMPLE_POINT if sample_point is None
                                       else sample_point, "sample_point"))
        if fd:
            data = (nominal[0] if data_bitrate is None
                    else _whole_bitrate(data_bitrate, "data_bitrate"),
                    _sample_point_units(DEFAULT_SAMPLE_POINT if data_sample_point is None
                                        else data_sample_point, "data_sample_point"))
        else:
            data = nominal
    if data[0] < nominal[0]:
        raise ValueError(f"bit rates {nominal[0]}/{data[0]}: the data bit rate must not be "
                         "below the arbitration bit rate")
    non_iso = flag(fd_non_iso) if fd_non_iso is not None else False
    return PortConfig(nominal[0], data[0], nominal[1], data[1],
                      BUS_MODE_NORMAL if bus_mode is None else int(bus_mode) & 0xFFFF,
                      ISO_MODE_NON_ISO if non_iso else ISO_MODE_ISO)
