# Types of the kelvarin extension module. A module that is one compiled file
# cannot mark itself typed, so this is installed as the stub-only package
# kelvarin-stubs, where type checkers look for it.
from typing import Any, Dict, Tuple, Union

import numpy as np
import numpy.typing as npt

def load_pcd(
    filename: Union[str, bytes, bytearray],
) -> Tuple[npt.NDArray[np.float32], Dict[str, npt.NDArray[Any]]]:
    """Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other 1D NumPy arrays with arbitrary names/dtypes;
            a field with COUNT above 1 is a 2D array of shape (N, COUNT)
    """
