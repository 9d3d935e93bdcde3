"""The native engine (see the package documentation)."""

from typing import Any, Dict, List, Optional, Tuple, Union

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
def pool_create_via(
    host: str,
    port: int,
    tls: object,
    max_connections: int,
    ca_path: str,
    proxy_host: str,
    proxy_port: int,
    proxy_authorization: str,
    unix_path: str,
    client_cert: object = None,
    /,
) -> object: ...
def pool_create_with_cert(
    host: str,
    port: int,
    tls: object,
    reserved_flag: int,
    max_connections: int,
    reserved_a: int,
    reserved_b: int,
    ca_path: str,
    client_cert: object,
    /,
) -> object: ...
def client_cert_load(
    cert_path: str, key_path: Optional[str], password: Optional[Union[str, bytes]], /
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
    download: Optional[object] = None,
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
    download: Optional[object] = None,
    /,
) -> int: ...
def download_new(path: str, /) -> object: ...
def download_progress(download: object, /) -> Tuple[int, int]: ...
def abandon(future: Any, /) -> bool: ...
def pool_keepalive(pool: object, expiry: Optional[float], /) -> None: ...
def pool_trim(pool: object, keep: int, /) -> Tuple[int, int, float]: ...
def read_body(*args: Any) -> Any: ...
