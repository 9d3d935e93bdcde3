"""The native engine (see the package documentation)."""

from typing import Any, Dict, List, Optional, Tuple

def pool_create(
    host: str,
    port: int,
    tls: object,
    reserved_flag: int,
    max_connections: int,
    reserved_a: int,
    reserved_b: int,
    ca_path: str,
    /,
) -> object: ...
def submit(
    pool: object,
    method: int,
    target: str,
    headers: List[Tuple[str, str]],
    body: bytes,
    reserved_5: Any,
    reserved_6: Any,
    future: Any,
    loop: Any,
    /,
) -> int: ...
def submit_wait(
    pool: object,
    method: int,
    target: str,
    headers: List[Tuple[str, str]],
    body: bytes,
    timeout: Optional[float],
    max_response_size: Optional[int] = None,
    /,
) -> Optional[Tuple[int, Dict[str, str], bytes, int, str]]: ...
def submit_limited(
    pool: object,
    method: int,
    target: str,
    headers: List[Tuple[str, str]],
    body: bytes,
    max_response_size: Optional[int],
    future: Any,
    loop: Any,
    /,
) -> int: ...
def abandon(future: Any, /) -> bool: ...
def pool_keepalive(pool: object, expiry: Optional[float], /) -> None: ...
def pool_trim(pool: object, keep: int, /) -> Tuple[int, int, float]: ...
def read_body(*args: Any) -> Any: ...
