project_test(models_test
  SOURCES models_apply_test.cc models_delay_test.cc models_bw_test.cc models_loss_test.cc
  DEPS corvo_state models pipe common)
project_test(models_text_test SOURCES models_text_test.cc DEPS corvo_state models pipe common)
project_test(layout_test SOURCES layout_test.cc DEPS pipe common)
project_test(models_stat_test SOURCES models_stat_test.cc DEPS corvo_state models pipe common)
