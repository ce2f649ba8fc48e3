import pathlib
import sys

# the weather layouts the reader's tests and the tools' tests share
sys.path.insert(0, str(pathlib.Path(__file__).parents[1]))
