"""colenc_sklearn.OrdinalTextEncoder: scikit-learn's own estimator checks, the
estimator in pipelines and model selection (across processes, as a pickle),
its output containers, inverse_transform round trips, and the checks of width
and feature names at transform."""

import pathlib
import pickle

import numpy as np
import pandas as pd
import pytest

sklearn = pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from colenc import Encoder  # noqa: E402
from colenc_sklearn import OrdinalTextEncoder  # noqa: E402

# The example table: in the tree, or beside the copy of the suite that the
# sdist and wheel runs test from.
CUSTOMERS = next(folder / "examples" / "customers.csv"
                 for folder in pathlib.Path(__file__).resolve().parents[1:3]
                 if (folder / "examples" / "customers.csv").exists())


@parametrize_with_checks([OrdinalTextEncoder(), OrdinalTextEncoder(unknown="code")])
def test_passes_scikit_learns_estimator_checks(estimator, check):
    check(estimator)


def customers():
    """The example table with a known plan, its features and the plan."""
    table = pd.read_csv(CUSTOMERS).dropna(subset=["plan"]).reset_index(drop=True)
    return table.drop(columns=["customer_id", "plan"]), table["plan"]


def frame():
    return pd.DataFrame({"city": pd.Series(["Oslo", "Bern", "nan", "Oslo", None], dtype=object),
                         "age": [31, 45, 27, 38, 50],
                         "plan": pd.Series(["pro", "free", "free", None, "pro"], dtype="str")},
                        ).set_axis([10, 11, 12, 13, 14])


@pytest.mark.parametrize("unknown", ["nan", "code"])
def test_a_pipeline_trained_on_part_of_a_real_table_scores_on_the_rest(unknown):
    X, y = customers()
    text = [X.columns.get_loc(c) for c in ("city", "country", "browser", "signup_month")]
    model = make_pipeline(OrdinalTextEncoder(unknown=unknown),
                          HistGradientBoostingClassifier(categorical_features=text, random_state=0))
    # The training rows leave out two cities, which the test rows hold.
    train = (X.index < 300) & ~X["city"].isin(["Toronto", "Windhoek"])
    model.fit(X[train], y[train])
    assert model.score(X.iloc[300:], y.iloc[300:]) > 0.8
    assert list(model[0].text_columns_) == text


def test_column_transformer_encodes_its_share_and_names_the_columns():
    X = frame()
    both = ColumnTransformer([("text", OrdinalTextEncoder(), ["city", "plan"])], remainder="passthrough",
                             verbose_feature_names_out=False).set_output(transform="pandas")
    out = both.fit_transform(X)
    assert list(out.columns) == ["city", "plan", "age"] and list(out.index) == list(X.index)
    expected, _ = Encoder().encode(X[["city", "plan"]])
    np.testing.assert_array_equal(out[["city", "plan"]].to_numpy(), expected.to_numpy())


def test_grid_search_on_two_processes_and_clone():
    X, y = customers()
    search = GridSearchCV(make_pipeline(OrdinalTextEncoder(), HistGradientBoostingClassifier(max_iter=20)),
                          {"ordinaltextencoder__unknown": ["nan", "code"]}, cv=2, n_jobs=2)
    search.fit(X, y)
    assert search.best_estimator_[0].unknown in ("nan", "code")
    fitted = search.best_estimator_[0]
    fresh = clone(fitted)
    assert fresh.get_params() == fitted.get_params() and not hasattr(fresh, "encoder_")


@pytest.mark.parametrize("output", ["default", "pandas", "polars"])
def test_set_output_gives_the_same_codes_in_each_container(output):
    if output == "polars":
        pl = pytest.importorskip("polars")
    X = frame()
    model = OrdinalTextEncoder().set_output(transform=output)
    whole = model.fit_transform(X)
    new = X.iloc[[4, 0, 2]]
    expected = OrdinalTextEncoder().fit(X).transform(X)
    for got, rows in ((whole, [0, 1, 2, 3, 4]), (model.transform(new), [4, 0, 2])):
        if output == "default":
            assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.flags.writeable
        elif output == "pandas":
            assert isinstance(got, pd.DataFrame) and list(got.columns) == list(X.columns)
            assert list(got.index) == list(X.index[rows])  # the input's own index
        else:
            assert isinstance(got, pl.DataFrame) and got.columns == list(X.columns)
        np.testing.assert_array_equal(np.asarray(got, dtype=np.float64), expected[rows])


@pytest.mark.parametrize("make", [
    lambda X: X,
    lambda X: X.astype({"plan": object}).to_numpy(),
    lambda X: X.astype(str).to_numpy().astype("U8"),
], ids=["frame", "object_array", "unicode_array"])
def test_inverse_transform_gives_back_the_labels(make):
    X = make(frame())
    model = OrdinalTextEncoder(unknown="code").fit(X)
    back = model.inverse_transform(model.transform(X))
    labels = Encoder()
    codes, text_columns = labels.encode(X)
    assert list(model.text_columns_) == text_columns
    expected = labels.decode(np.asarray(codes, dtype=np.float64))
    for column in text_columns:
        expected[:, column] = [None if label == "NaN" else label for label in expected[:, column]]
    assert back.dtype == object and back.tolist() == expected.tolist()
    # One past a column's last code (an unseen label under unknown="code") reads back as None.
    unseen = model.transform(X)[:1].copy()
    for column, labels_in_order in zip(model.text_columns_, model.categories_):
        unseen[0, column] = len(labels_in_order)
    assert all(model.inverse_transform(unseen)[0, c] is None for c in model.text_columns_)


def test_fitted_attributes_name_the_text_columns_and_their_labels_in_code_order():
    model = OrdinalTextEncoder().fit(frame())
    assert model.n_features_in_ == 3 and list(model.feature_names_in_) == ["city", "age", "plan"]
    assert list(model.text_columns_) == [0, 2]
    assert [list(labels) for labels in model.categories_] == [["Bern", "None", "Oslo"], ["free", "pro"]]
    numbers = OrdinalTextEncoder().fit(np.arange(6.0).reshape(3, 2))  # float64: no text column
    assert list(numbers.text_columns_) == [] and numbers.categories_ == []
    cells = np.array([[1.5, "a"]], dtype=object)
    np.testing.assert_array_equal(numbers.transform(cells), [[1.5, np.nan]])


def test_the_pickle_holds_the_fit_not_the_training_data():
    rows = 100_000
    big = pd.DataFrame({"city": np.array(["Oslo", "Bern", "Rome"], dtype=object)[np.arange(rows) % 3],
                        "n": np.arange(rows, dtype=np.float64)})
    model = OrdinalTextEncoder().fit(big)
    model.categories_  # read and kept, but not pickled
    data = pickle.dumps(model)
    assert len(data) < 1500
    back = pickle.loads(data)
    assert back.encoder_.__getstate__() == model.encoder_.__getstate__()
    np.testing.assert_array_equal(back.transform(big.iloc[:5]), model.transform(big.iloc[:5]))
    assert [list(c) for c in back.categories_] == [["Bern", "Oslo", "Rome"]]


@pytest.mark.parametrize("fit_on, new, error, message", [
    (frame(), frame().iloc[:, :2], ValueError, "Feature names seen at fit time, yet now missing:\n- plan"),
    (frame(), frame().rename(columns={"age": "years"}), ValueError, "The feature names should match"),
    (frame().to_numpy(), frame().to_numpy()[:, :2], ValueError, "X has 2 features, but OrdinalTextEncoder is "
                                                                   "expecting 3 features"),
    (frame().to_numpy(), frame().to_numpy()[:, [0]], ValueError, "X has 1 features"),
    (frame().to_numpy(), np.array(["Oslo"], dtype=object), ValueError, "Expected 2D array"),
    (frame(), [["Oslo", 1, "pro"]], None, None),
], ids=["narrower_frame", "renamed_column", "narrower_array", "narrowest_array", "1d", "list_after_frame"])
def test_width_and_feature_names_are_checked_at_transform(fit_on, new, error, message):
    model = OrdinalTextEncoder().fit(fit_on)
    if error is None:
        with pytest.warns(UserWarning, match="fitted with feature names"):
            assert model.transform(new).shape == (1, 3)
        return
    with pytest.raises(error, match=message):
        model.transform(new)


@pytest.mark.parametrize("unknown, expected", [("nan", [np.nan, 0.0]), ("code", [3.0, 0.0]), ("error", None)])
def test_unknown_labels_follow_the_unknown_parameter(unknown, expected):
    model = OrdinalTextEncoder(unknown=unknown).fit(frame()[["city"]])
    new = pd.DataFrame({"city": pd.Series(["Lima", "Bern"], dtype=object)})
    if expected is None:
        with pytest.raises(ValueError, match="Lima"):
            model.transform(new)
    else:
        np.testing.assert_array_equal(model.transform(new)[:, 0], expected)
