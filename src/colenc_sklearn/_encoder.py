"""OrdinalTextEncoder, the estimator around a colenc.Encoder. It checks an
input's width and feature names as scikit-learn's own estimators do, hands a
pandas DataFrame to colenc as it is (so that colenc reads each column from its
own storage) and anything else as a 2-D array, and pickles as the encoder's
compact state bytes plus a few counts, never a copy of the training data."""

import sys

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin, _fit_context
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import _check_feature_names, _check_n_features, check_array, check_is_fitted

import colenc

try:  # the output container chosen by set_output or sklearn.set_config
    from sklearn.utils._set_output import _get_output_config
except ImportError:  # pragma: no cover - every supported scikit-learn has it
    _get_output_config = None


class OrdinalTextEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Encodes the text columns of a table as ordinal codes with colenc.

    fit learns, for every column, whether it holds texts, and for each text
    column its labels, coded 0, 1, ... in ascending byte order of their UTF-8
    texts. transform applies that fit to a table of the same columns: a text
    column's cells become their codes, a number column's cells pass through
    as float64. The output is a float64 matrix (or DataFrame, see set_output)
    of the input's width. Cells are typed and labelled as colenc.Encoder types
    and labels them; "<NA>", "nan" and "NaN" are missing values and give NaN.

    Parameters
    ----------
    unknown : {"nan", "error", "code"}, default="nan"
        What a label that fit did not see gives at transform: NaN; a
        ValueError naming the column, row and text; or, in a text column, the
        code one past the column's last (NaN in a number column), so that a
        tree model can tell unseen labels from missing ones.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names seen during fit, when they are all strings.
    text_columns_ : ndarray of int
        Positions of the columns encoded as texts.
    categories_ : list of ndarray
        For each entry of text_columns_, the column's labels in code order (an
        object array of str; label i has code i). Read from the encoder on
        first use.
    encoder_ : colenc.Encoder
        The fitted encoder.
    """

    _parameter_constraints = {"unknown": [StrOptions({"nan", "error", "code"})]}

    def __init__(self, unknown="nan"):
        self.unknown = unknown

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None):
        """Learns the text columns of X and their labels. Returns self."""
        self._fit(X)
        return self

    @_fit_context(prefer_skip_nested_validation=True)
    def fit_transform(self, X, y=None):
        """Fits on X and returns its codes, in one pass over X: the same
        result as fit(X).transform(X)."""
        encoded, table = self._fit(X)
        return self._output(encoded, table)

    def transform(self, X):
        """Returns the codes of X's text columns and the numbers of its other
        columns under the fit, as a float64 matrix of X's shape."""
        if "encoder_" not in self.__dict__:
            check_is_fitted(self)
        table = self._checked(X, reset=False)
        encoded, _ = self.encoder_.transform(table, unknown=self.unknown)
        return self._output(encoded, table)

    def inverse_transform(self, X):
        """Returns the labels of the codes in X as an object array: str labels
        in the text columns (None for NaN or a code past the column's last),
        Python floats in the others."""
        check_is_fitted(self)
        codes = check_array(X, dtype=np.float64, ensure_all_finite=False, ensure_min_samples=0)
        if codes.shape[1] != self.n_features_in_:
            raise ValueError(f"Shape of the passed X data is not correct. Expected {self.n_features_in_} "
                             f"columns, got {codes.shape[1]}.")
        decoded = self.encoder_.decode(codes)
        for column, count in zip(self.text_columns_, self._label_counts):
            # colenc writes "NaN" for these; a label is never "NaN" (a missing value).
            decoded[~(np.trunc(codes[:, column]) < count), column] = None
        return decoded

    @property
    def categories_(self):
        check_is_fitted(self)
        labels = self.__dict__.get("_categories")
        if labels is None:
            labels = self._categories = self._read_labels()
        return labels

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        tags.input_tags.allow_nan = True
        return tags

    def __getstate__(self):
        state = dict(super().__getstate__())
        state.pop("_categories", None)  # read again from the encoder when asked for
        return state

    def _fit(self, X):
        """Fits a new encoder on X; returns colenc's encoded result and the
        table handed to colenc."""
        table = self._checked(X, reset=True)
        encoder = colenc.Encoder()
        encoded, text_columns = encoder.encode(table)
        if text_columns is None:
            # A float64 array passes through colenc's encode with no fit kept.
            # Its fit is one with no text column, which a table of integers
            # gives, so that transform reads every column as numbers.
            encoder.encode(np.zeros((1, table.shape[1]), dtype=np.int8))
            text_columns = []
        matrix = _as_matrix(encoded)
        self.encoder_ = encoder
        self.text_columns_ = np.asarray(text_columns, dtype=np.intp)
        # Every label of the fit occurs in the table, so a column's label count
        # is one past its largest code (fmax skips the NaN of missing values).
        self._label_counts = tuple(int(np.fmax.reduce(matrix[:, c], initial=-1.0)) + 1 for c in text_columns)
        self.__dict__.pop("_categories", None)
        return encoded, table

    def _checked(self, X, reset):
        """Checks X's feature names and width against the fit (or records them
        when reset); returns the table to hand to colenc."""
        frame = _pandas_frame(X)
        # A frame with the fit's own column names passes scikit-learn's check;
        # comparing them as a list spares a serving call most of that check.
        names = None if reset or frame is None else self.__dict__.get("feature_names_in_")
        if names is None or frame.columns.tolist() != names.tolist():
            _check_feature_names(self, X, reset=reset)
        if frame is not None:
            X = frame
            if reset and min(X.shape) < 1:
                kind = "sample(s)" if X.shape[0] < 1 else "feature(s)"
                raise ValueError(f"Found array with 0 {kind} (shape={X.shape}) while a minimum of 1 is "
                                 f"required by {type(self).__name__}.")
        elif reset or type(X) is not np.ndarray or X.ndim != 2 or X.dtype.kind == "c":
            # A plain 2-D array at transform is all that check_array would let
            # through unchanged, so a serving call skips it.
            X = check_array(X, dtype=None, ensure_all_finite=False, ensure_min_samples=1 if reset else 0,
                            estimator=self)
        _check_n_features(self, X, reset=reset)
        return X

    def _output(self, encoded, table):
        """The transform result: colenc's DataFrame when the pandas output is
        configured (with the input's index; scikit-learn sets the column
        names), else a float64 array."""
        if not isinstance(encoded, np.ndarray):
            if _get_output_config is not None and _get_output_config("transform", self)["dense"] == "pandas":
                encoded.index = table.index
                return encoded
            return _as_matrix(encoded)
        return encoded

    def _read_labels(self):
        """Each text column's labels in code order, decoded from codes 0 to
        count - 1 in a matrix as wide as the last text column."""
        counts = self._label_counts
        if not counts:
            return []
        probe = np.full((max(counts), int(self.text_columns_[-1]) + 1), np.nan)
        for column, count in zip(self.text_columns_, counts):
            probe[:count, column] = np.arange(count)
        decoded = self.encoder_.decode(probe)
        return [np.array(decoded[:count, column], dtype=object) for column, count in zip(self.text_columns_, counts)]


def _pandas_frame(X):
    """X as a plain pandas DataFrame when it is one (a subclass is viewed as a
    DataFrame, since colenc takes DataFrames by their type's name), else None."""
    pd = sys.modules.get("pandas")
    if pd is None or not isinstance(X, pd.DataFrame):
        return None
    return X if type(X) is pd.DataFrame else pd.DataFrame(X, copy=False)


def _as_matrix(encoded):
    """colenc's result as a float64 matrix without a copy: an array as it is,
    a DataFrame's single block of columns made writeable again (pandas hands
    out read-only views, but the frame is colenc's fresh result that nothing
    else holds)."""
    if isinstance(encoded, np.ndarray):
        return encoded
    matrix = encoded.to_numpy(dtype=np.float64, copy=False)
    if not matrix.flags.writeable:
        matrix = matrix.view()
        try:
            matrix.flags.writeable = True
        except ValueError:
            matrix = matrix.copy()
    return matrix
