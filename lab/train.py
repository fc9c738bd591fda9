"""The layout of the prober's packet train, as the lab sees it.

One run of the prober sends, in this order:

  echo probes   ECHO_PROBES ICMP echo requests (UDP mode only; none with -c or -p)
  head          one measurement packet per TTL 1..end, rising
  load          `load` packets of `size` bytes, TTL LOAD_TTL
  tail          one measurement packet per TTL end..1, falling

Every probe carries an index: the UDP destination port (or ICMP sequence
number) is SEQ_BASE + index, the source port SOURCE_PORT.  The head packet of
TTL t has index 2t, its tail packet 2t + 1, every load packet 0, and echo
probe k (0-based) 2 end + load + 3 + k.  The prober's hop h is TTL h + 1.

With -t the report lists one send time per packet in send order; `Train`
gives the positions of each block in that log.  Nothing here imports the rest
of the lab: the helpers that run inside a router (watchgap.py) and the lab's
own probes (labprobe.py) use it too.
"""

from __future__ import annotations

from dataclasses import dataclass

SEQ_BASE = 43434        # port / sequence number of probe index 0
SOURCE_PORT = 31415     # UDP source port (ICMP identifier) of every probe
ECHO_PROBES = 5         # echo probes ahead of the heads in UDP mode
MEASURE_SIZE = 60       # IP length of head, tail and echo packets
LOAD_TTL = 100          # TTL of the load packets and echo probes
LOAD_INDEX = 0

# The prober's defaults: -e, -l, -s.
END = 30
LOAD = 60
SIZE = 500


def head_index(ttl: int) -> int:
    return 2 * ttl


def tail_index(ttl: int) -> int:
    return 2 * ttl + 1


def head_port(ttl: int) -> int:
    """UDP destination port of the head packet with this TTL."""
    return SEQ_BASE + head_index(ttl)


def tail_port(ttl: int) -> int:
    """UDP destination port of the tail packet with this TTL."""
    return SEQ_BASE + tail_index(ttl)


LOAD_PORT = SEQ_BASE + LOAD_INDEX


def port_ttl_side(port: int) -> tuple[int, int]:
    """(TTL, side) of a measurement packet's port; side 0 is the head, 1 the tail."""
    index = port - SEQ_BASE
    return index // 2, index % 2


@dataclass(frozen=True)
class Train:
    """One run's train: `end` measurement packets at each end, `load` load
    packets of `size` bytes, `echo` echo probes ahead of them."""
    end: int = END
    load: int = LOAD
    size: int = SIZE
    echo: int = ECHO_PROBES

    @classmethod
    def of_options(cls, options, load: int | None = None, size: int | None = None) -> "Train":
        """The train that kovrin sends with these options (-e, -l, -s, -c, -p);
        `load` and `size` as the report's summary line gives them win."""
        opts = list(options)

        def value(flag: str, default: int) -> int:
            return int(opts[opts.index(flag) + 1]) if flag in opts else default

        return cls(end=value("-e", END),
                   load=load if load is not None else value("-l", LOAD),
                   size=size if size is not None else value("-s", SIZE),
                   echo=0 if ("-c" in opts or "-p" in opts) else ECHO_PROBES)

    def echo_index(self, k: int) -> int:
        return 2 * self.end + self.load + 3 + k

    # Positions in the send log.

    @property
    def sent(self) -> int:
        """Packets in the send log."""
        return self.echo + 2 * self.end + self.load

    def echo_block(self) -> slice:
        return slice(0, self.echo)

    def head_block(self) -> slice:
        return slice(self.echo, self.echo + self.end)

    def load_block(self) -> slice:
        first = self.echo + self.end
        return slice(first, first + self.load)

    def tail_block(self) -> slice:
        first = self.echo + self.end + self.load
        return slice(first, first + self.end)

    def head_position(self, ttl: int) -> int:
        return self.echo + ttl - 1

    def tail_position(self, ttl: int) -> int:
        return self.echo + self.end + self.load + self.end - ttl
