"""A CUDA that is never available, as in a CPU build of torch."""


def is_available():
    return False


def get_device_properties(device):
    raise AssertionError("Torch not compiled with CUDA enabled")
