"""What the native engine calls back into: it finds ``tarnix.core.http._settle``
by that name to complete a request on its event loop."""
