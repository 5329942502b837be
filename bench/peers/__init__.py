"""The peers, in the order of the report: Tarnwick first, then what it is compared with."""

from bench.peers.base import NotApplicable, Peer, Unsupported
from bench.peers.dictsets import DictOfSets
from bench.peers.ducks_peer import Ducks
from bench.peers.listcomp import ListComprehension
from bench.peers.pandas_peer import Pandas
from bench.peers.polars_peer import Polars
from bench.peers.sqlite import SQLite
from bench.peers.tarnwick_peer import Tarnwick

PEERS: tuple[type[Peer], ...] = (Tarnwick, ListComprehension, DictOfSets, SQLite, Pandas, Polars,
                                    Ducks)
BY_KEY = {peer.key: peer for peer in PEERS}
SUBJECT = Tarnwick.key
BASELINE = ListComprehension.key

__all__ = ["PEERS", "BY_KEY", "SUBJECT", "BASELINE", "NotApplicable", "Peer", "Unsupported"]
